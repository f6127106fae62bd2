// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// kxr-cli's command line: entry syntax, numbers and typed values, limits.
#include <gtest/gtest.h>

#include "CliArgs.h"
#include "Protocol.h"

namespace KxrCli {
namespace {

// A read's TYPE after its address or LENGTH; an integer TYPE asks for its width.
TEST(CliArgs, ReadArguments) {
  const std::tuple<const char*, uint16_t, uint8_t, uint32_t, const char*> good[] = {
      {"0x1018:1", 0x1018, 1, kDefaultReadLength, ""}, {"4120:0x01", 0x1018, 1, kDefaultReadLength, ""},
      {"0X2100:0xff:600", 0x2100, 0xFF, 600, ""},      {"0:0:0x100000", 0, 0, 0x100000, ""},
      {"65535:255:1", 0xFFFF, 0xFF, 1, ""},            {"0x1018:1:u32", 0x1018, 1, 4, "u32"},
      {"1:1:8:text", 1, 1, 8, "text"},                 {"1:1:i64", 1, 1, 8, "i64"}};
  for (const auto& [text, index, subIndex, length, type] : good) {
    EntryArg entry;
    std::string error;
    EXPECT_TRUE(ParseReadArg(text, entry, error)) << text << ": " << error;
    EXPECT_EQ(std::make_tuple(entry.index, entry.subIndex, entry.length, entry.type),
              std::make_tuple(index, subIndex, length, std::string(type))) << text;
  }
  // Hex needs its prefix; index 16 bits, sub-index 8, length 1 to 1 MiB.
  for (const char* bad : {"1018:01", "100A:1", "0x10000:1", "0x1018:256", "0x1018:1:0", "0x1018:1:1048577", "0x1018",
                          "0x1018:1:4:4", "0x:1", "-1:1", "99999999999999999999999:1", "1:1:f32", "1:1:ff", "1:u8"}) {
    EntryArg entry;
    std::string error;
    EXPECT_TRUE(!ParseReadArg(bad, entry, error) && !error.empty()) << bad;
  }
}

TEST(CliArgs, WriteValues) {
  const std::pair<const char*, std::string> good[] = {
      {"0x2000:1=hex:34 12:AB-cd", "\x34\x12\xAB\xCD"}, {"0x2000:1=text:a=b:c", "a=b:c"},
      {"0x2000:1=u16:0x1234", "\x34\x12"}, {"0x2000:1=u32:10000", std::string("\x10\x27\0\0", 4)},
      {"0x2000:1=i8:-1", "\xFF"}, {"0x2000:1=i16:-32768", std::string("\0\x80", 2)},
      {"0x2000:1=i64:-9223372036854775808", std::string("\0\0\0\0\0\0\0\x80", 8)},
      {"0x2000:1=u64:0xFFFFFFFFFFFFFFFF", std::string(8, '\xFF')}};
  for (const auto& [text, bytes] : good) {
    EntryArg entry;
    std::string error;
    EXPECT_TRUE(ParseWriteArg(text, entry, error)) << text << ": " << error;
    EXPECT_EQ(std::make_pair(entry.data, static_cast<size_t>(entry.length)), std::make_pair(bytes, bytes.size())) << text;
  }
  EntryArg entry;
  std::string error;
  for (const std::string& bad : std::initializer_list<std::string>{"0x2000:1=u8:256", "0x2000:1=i8:128", "0x2000:1=i8:-129", "0x2000:1=hex:123",
                                "0x2000:1=hex:1 23", "0x2000:1=hex:zz", "0x2000:1=hex:", "0x2000:1=text:",
                                "0x2000:1=3412", "0x2000:1=f32:1", "0x2000:1", "0x2000=hex:00",
                                "1:1=text:" + std::string(KxrProtocol::kMaxEntryLength + 1, 'x')})
    EXPECT_FALSE(ParseWriteArg(bad, entry, error)) << bad.substr(0, 40);
}

TEST(CliArgs, CommandLines) {
  Invocation invocation;
  std::string error;
  ASSERT_TRUE(ParseCommandLine({"-s", "/x/web1", "write", "1:1=u8:1"}, "/s", invocation, error)) << error;
  EXPECT_TRUE(invocation.command == Invocation::Command::kWrite && invocation.socketPath == "/x/web1");
  for (const auto& bad : std::vector<std::vector<std::string>>{
           {}, {"read"}, {"-s", "/a", "-u", "http://h/", "read", "1:1"}, {"read", "1:1", "1:1=u8:1"}, {"--insecure", "read", "1:1"},
           {"-u", "http://h/", "--cacert", "ca.pem", "read", "1:1"}, {"-u", "http://127.0.0.1/", "--user", "a", "read", "1:1"},
           {"--print-call", "save", "f"}})
    EXPECT_FALSE(ParseCommandLine(bad, "/s", invocation, error)) << ::testing::PrintToString(bad);
  // 300 entries fit one call, 301 do not.
  std::vector<std::string> args{"read"};
  args.insert(args.end(), KxrProtocol::kMaxSubRequests, "1:1");
  EXPECT_TRUE(ParseCommandLine(args, "/s", invocation, error)) << error;
  args.push_back("1:1");
  EXPECT_FALSE(ParseCommandLine(args, "/s", invocation, error));
}

}  // namespace
}  // namespace KxrCli
