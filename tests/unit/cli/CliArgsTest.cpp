// kxr-cli's command line: entry syntax, values, options and commands.
#include <gtest/gtest.h>

#include "CliArgs.h"
#include "Protocol.h"

namespace KxrCli {
namespace {

struct ReadCase {
  const char* text;
  bool ok;
  uint16_t index;
  uint8_t subIndex;
  uint32_t length;
};

TEST(CliArgs, ReadArguments) {
  const ReadCase cases[] = {
      {"0x1018:1", true, 0x1018, 1, kDefaultReadLength},
      {"4120:0x01", true, 0x1018, 1, kDefaultReadLength},
      {"0X2100:0xff:600", true, 0x2100, 0xFF, 600},
      {"0:0:0x100000", true, 0, 0, 0x100000},
      {"65535:255:1", true, 0xFFFF, 0xFF, 1},
      {"1018:01", false, 0, 0, 0},         // hex without its prefix
      {"100A:1", false, 0, 0, 0},          // hex letters need 0x
      {"0x10000:1", false, 0, 0, 0},       // index beyond 16 bits
      {"0x1018:256", false, 0, 0, 0},      // sub-index beyond 8 bits
      {"0x1018:1:0", false, 0, 0, 0},      // nothing wanted
      {"0x1018:1:1048577", false, 0, 0, 0},
      {"0x1018", false, 0, 0, 0},
      {"0x1018:1:4:4", false, 0, 0, 0},
      {"0x:1", false, 0, 0, 0},
      {":1", false, 0, 0, 0},
      {"-1:1", false, 0, 0, 0},
      {"99999999999999999999999:1", false, 0, 0, 0},
  };
  for (const ReadCase& c : cases) {
    EntryArg entry;
    std::string error;
    EXPECT_EQ(ParseReadArg(c.text, entry, error), c.ok) << c.text << ": " << error;
    if (!c.ok) {
      EXPECT_FALSE(error.empty()) << c.text;
      continue;
    }
    EXPECT_EQ(entry.index, c.index) << c.text;
    EXPECT_EQ(entry.subIndex, c.subIndex) << c.text;
    EXPECT_EQ(entry.length, c.length) << c.text;
  }
}

TEST(CliArgs, WriteValues) {
  const struct {
    const char* text;
    bool ok;
    std::string bytes;
  } cases[] = {
      {"0x2000:1=hex:3412", true, "\x34\x12"},
      {"0x2000:1=hex:34 12:AB-cd", true, "\x34\x12\xAB\xCD"},
      {"0x2000:1=text:a=b:c", true, "a=b:c"},
      {"0x2000:1=u16:0x1234", true, "\x34\x12"},
      {"0x2000:1=u32:10000", true, std::string("\x10\x27\0\0", 4)},
      {"0x2000:1=i8:-1", true, "\xFF"},
      {"0x2000:1=i16:-32768", true, std::string("\0\x80", 2)},
      {"0x2000:1=i64:-9223372036854775808", true, std::string("\0\0\0\0\0\0\0\x80", 8)},
      {"0x2000:1=u64:0xFFFFFFFFFFFFFFFF", true, std::string(8, '\xFF')},
      {"0x2000:1=u8:256", false, ""},
      {"0x2000:1=i8:128", false, ""},
      {"0x2000:1=i8:-129", false, ""},
      {"0x2000:1=hex:123", false, ""},    // odd number of digits
      {"0x2000:1=hex:1 23", false, ""},
      {"0x2000:1=hex:zz", false, ""},
      {"0x2000:1=hex:", false, ""},       // nothing to write
      {"0x2000:1=text:", false, ""},
      {"0x2000:1=3412", false, ""},       // a value needs its type
      {"0x2000:1=f32:1", false, ""},
      {"0x2000:1", false, ""},
      {"0x2000=hex:00", false, ""},
  };
  for (const auto& c : cases) {
    EntryArg entry;
    std::string error;
    EXPECT_EQ(ParseWriteArg(c.text, entry, error), c.ok) << c.text << ": " << error;
    if (!c.ok) continue;
    EXPECT_EQ(entry.data, c.bytes) << c.text;
    EXPECT_EQ(entry.length, c.bytes.size()) << c.text;
  }
  EntryArg entry;
  std::string error;
  EXPECT_FALSE(ParseWriteArg("1:1=text:" + std::string(KxrProtocol::kMaxEntryLength + 1, 'x'), entry, error));
}

TEST(CliArgs, CommandLines) {
  const std::string sock = "/default/sock";
  const struct {
    std::vector<std::string> args;
    bool ok;
    Invocation::Command command;
    std::string socket;
    std::string url;
    std::size_t entries;
  } cases[] = {
      {{"read", "0x1018:1", "0x1008:0"}, true, Invocation::Command::kRead, sock, "", 2},
      {{"-s", "/x/web1", "write", "1:1=u8:1"}, true, Invocation::Command::kWrite, "/x/web1", "", 1},
      {{"--url", "http://h:8080/", "read", "1:1"}, true, Invocation::Command::kRead, sock, "http://h:8080/", 1},
      {{"--help"}, true, Invocation::Command::kHelp, sock, "", 0},
      {{"-h", "read", "nonsense"}, true, Invocation::Command::kHelp, sock, "", 0},
      {{}, false, {}, "", "", 0},
      {{"read"}, false, {}, "", "", 0},
      {{"list", "1:1"}, false, {}, "", "", 0},
      {{"-x", "read", "1:1"}, false, {}, "", "", 0},
      {{"-s"}, false, {}, "", "", 0},
      {{"-s", "/a", "-u", "http://h/", "read", "1:1"}, false, {}, "", "", 0},
      {{"read", "1:1", "1:1=u8:1"}, false, {}, "", "", 0},
      {{"write", "1:1"}, false, {}, "", "", 0},
  };
  for (const auto& c : cases) {
    Invocation invocation;
    std::string error;
    const bool ok = ParseCommandLine(c.args, sock, invocation, error);
    EXPECT_EQ(ok, c.ok) << ::testing::PrintToString(c.args) << ": " << error;
    if (!ok || !c.ok) continue;
    EXPECT_EQ(invocation.command, c.command);
    EXPECT_EQ(invocation.socketPath, c.socket);
    EXPECT_EQ(invocation.url, c.url);
    EXPECT_EQ(invocation.entries.size(), c.entries);
  }
  // 300 entries fit one call, 301 do not.
  std::vector<std::string> args{"read"};
  args.insert(args.end(), KxrProtocol::kMaxSubRequests, "1:1");
  Invocation invocation;
  std::string error;
  EXPECT_TRUE(ParseCommandLine(args, sock, invocation, error)) << error;
  args.push_back("1:1");
  EXPECT_FALSE(ParseCommandLine(args, sock, invocation, error));
}

}  // namespace
}  // namespace KxrCli
