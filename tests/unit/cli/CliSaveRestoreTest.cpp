// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// save and restore against a fake device: which file a save leaves behind
// (failed entries, modes, signals, a full disk), and what a restore reports.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "CliSafeFile.h"
#include "CliSaveRestore.h"
#include "CliStatus.h"

namespace KxrCli {
namespace {

const std::vector<DictEntry> kDict = {{0x2000, 1, "a", "u16", 2, true}, {0x2000, 2, "b", "u8", 1, true},
                                      {0x2100, 0, "c", "bytes", 800000, false}};  // read-only, too large to write

// Entries by index * 256 + sub-index.
struct Device {
  std::map<unsigned, std::string> bytes{{0x200001, "\x01\x02"}, {0x200002, "\x03"}, {0x210000, std::string(800000, 'x')}};
  uint32_t readCode = 0;    // every read answered with this code
  std::set<unsigned> keep;  // writes taken, bytes kept
  int signal = 0;           // sent to itself at the first read
  Caller Call() {
    return [this](bool write, const std::vector<EntryArg>& batch, std::vector<EntryResult>& out, std::string&) {
      if (signal != 0) ::raise(signal);
      for (const EntryArg& e : batch) {
        const unsigned key = e.index * 256u + e.subIndex;
        if (write && !keep.count(key)) bytes[key] = e.data;
        out.push_back(write ? EntryResult{} : EntryResult{readCode, readCode ? "" : bytes[key]});
      }
      return kExitOk;
    };
  }
};

std::string Slurp(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

// A folder of its own, removed at the end; Files() counts what it holds.
struct Folder {
  std::string path = ::mkdtemp((::testing::TempDir() + "kxr-save-XXXXXX").data());
  ~Folder() { std::filesystem::remove_all(path); }
  long Files() const { return std::distance(std::filesystem::directory_iterator(path), {}); }
};

Invocation Command(Invocation::Command command, const std::string& file, bool partial = false) {
  Invocation invocation;
  std::tie(invocation.command, invocation.file, invocation.partial) = std::tie(command, file, partial);
  return invocation;
}

int Save(Device& device, const std::string& file, bool partial) {
  std::ostringstream out, err;
  return RunSave("kxr-cli", Command(Invocation::Command::kSave, file, partial), kDict, device.Call(), "2026-12-07T10:30:00Z",
                 out, err);
}

// A failed entry writes no file unless --partial, which marks it; a new or another user's file gets 0600, one's own keeps its mode less go-w.
TEST(CliSave, WholeOrMarkedAndKeptPrivate) {
  const struct { const char* why; uint32_t code; bool partial; mode_t old; uid_t owner; int status; bool written; mode_t mode; } cases[] = {
      {"new file", 0, false, 0, 0, kExitOk, true, 0600},
      {"over a 0646 file", 0, false, 0646, 0, kExitOk, true, 0644},
      {"over another user's 0640 file", 0, false, 0640, 65534, kExitOk, true, 0600},
      {"a service that is gone", 0xECA60200, false, 0640, 0, kExitFailed, false, 0640},
      {"the same with --partial", 0xECA60200, true, 0, 0, kExitFailed, true, 0600},
  };
  ::umask(022);
  for (const auto& c : cases) {
    Folder folder;
    const std::string file = folder.path + "/before-repair.json";
    if (c.old) std::ofstream(file) << "old", ::chmod(file.c_str(), c.old);
    if (c.owner && ::chown(file.c_str(), c.owner, c.owner) != 0) continue;  // only root gives files away
    Device device;
    device.readCode = c.code;
    EXPECT_EQ(Save(device, file, c.partial), c.status) << c.why;
    const std::string text = Slurp(file);
    EXPECT_EQ(text != "old", c.written) << c.why;
    EXPECT_EQ(text.find("\"partial\": true") != std::string::npos, c.written && c.code != 0) << c.why;
    struct stat st {};
    EXPECT_EQ(::stat(file.c_str(), &st) == 0 ? st.st_mode & 0777 : 0u, c.mode) << c.why;
    EXPECT_EQ(folder.Files(), 1) << c.why;
  }
}

// A save cut short by a signal, a full disk (a file size limit, 0) or a file that did not reach the disk (a failing
// fsync, -1) leaves the old file and nothing else.
TEST(CliSave, CutShortLeavesTheOldFile) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, 0, -1}) {
    Folder folder;
    const std::string file = folder.path + "/kept.json";
    std::ofstream(file) << "old";
    const pid_t child = ::fork();
    if (child == 0) {
      Device device;
      device.signal = std::max(signal, 0);
      const rlimit small{100, 100};
      ::signal(SIGXFSZ, SIG_IGN);
      if (signal == 0) ::setrlimit(RLIMIT_FSIZE, &small);
      if (signal < 0) gFsync = [](int) { return errno = EIO, -1; };
      ::_exit(Save(device, file, false));
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(signal > 0 ? WIFSIGNALED(status) && WTERMSIG(status) == signal
                       : WIFEXITED(status) && WEXITSTATUS(status) == kExitFailed) << signal << ": " << status;
    EXPECT_EQ(Slurp(file), "old") << signal;
    EXPECT_EQ(folder.Files(), 1) << signal;
  }
}

TEST(CliRestore, Outcomes) {
  const struct { const char* why; uint32_t savedCode; unsigned changed; bool keep; int status; const char* said; } cases[] = {
      {"a read-only entry of 800 KB that differs", 0, 0x210000, false, kExitOk, "0x2100:0x00  skipped: read-only"},
      {"a device that keeps other bytes of the same length", 0, 0x200001, true, kExitFailed, "verify mismatch"},
      {"records that were never read", 0xECA60200, 0x200001, false, kExitFailed, "nothing can be restored"},
  };
  for (const auto& c : cases) {
    Device device;
    std::vector<EntryResult> saved;
    for (const DictEntry& e : kDict) saved.push_back({c.savedCode, c.savedCode ? "" : device.bytes[e.index * 256u + e.subIndex]});
    device.bytes[c.changed][0] ^= 0x40;
    if (c.keep) device.keep.insert(c.changed);
    std::ostringstream out, err;
    EXPECT_EQ(RunRestore("kxr-cli", Command(Invocation::Command::kRestore, "saved.json"), kDict, SnapshotText(kDict, saved, "2026-12-07T10:30:00Z"), device.Call(),
                         out, err), c.status) << c.why << ": " << err.str();
    EXPECT_NE((out.str() + err.str()).find(c.said), std::string::npos) << c.why << ": " << out.str() << err.str();
  }
}

}  // namespace
}  // namespace KxrCli
