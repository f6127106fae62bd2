// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The device-profile client against an in-process fake service on the test build's service socket.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>

#include "ClientCalls.h"
#include "FakeService.h"
#include "KxrApiBSD.h"

using namespace KxrTest;

namespace {

const std::string kPath = KxrSettings::kServiceSocketPath;
constexpr uint64_t kShort = KXR_ERR_SHORT_ANSWER;

std::string Hex(const char* text) {  // "0A0B 0C" -> "\x0A\x0B\x0C"
  std::string out;
  for (const char* p = text; *p != '\0'; p += *p == ' ' ? 1 : 2)
    if (*p != ' ') out.push_back(static_cast<char>(std::stoi(std::string(p, 2), nullptr, 16)));
  return out;
}

TEST(Client, FramesEveryRequestKindByteForByte) {
  unsigned char buf[64] = {};
  uint64_t cb = 0, cbName = 4, cbList = 6;
  char* name = reinterpret_cast<char*>(buf);
  std::string desc = Le64(64) + Le16(0xA1B2) + std::string(54, '\x11');
  const struct { std::function<uint64_t()> call; std::string expected; } cases[] = {
      {[&] { return KXRSyncWrite(0x1234, 5, 0, 2, "\xAA\xBB"); },
       Hex("2C00000000000000 1800000000000000 2C00000000000000 0000 3412 00 05 FFFFFFFFFFFFFFFF 02000000 AABB")},
      {[&] { return KXRSyncReadWrite(7, 1, 2, 1, "\x55", 2, buf, &cb); },  // flags before the sub-index
       Hex("3F00000000000000 1800000000000000 2B00000000000000 0000 0700 02 01 FFFFFFFFFFFFFFFF 01000000 55"
           "0000 0700 02 01 FFFFFFFFFFFFFFFF 02000000 0000")},
      {[&] { return KXRSyncGetODList(0x0102, &cbList, buf); },
       Hex("2200000000000000 1800000000000000 1C00000000000000 0100 0201") + std::string(6, '\0')},
      {[&] { return KXRSyncGetObjectDescription(0x1234, 0x0102030405060708, nullptr, nullptr, nullptr, name, &cbName); },
       Hex("3400000000000000 1800000000000000 2400000000000000 0200 3412 0807060504030201") + std::string(16, '\0')},
      {[&] { return KXRSyncGetEntryDescription(0x1234, 5, 9, &desc[0]); },
       Hex("6F00000000000000 1800000000000000 2700000000000000 0300 3412 05 0900000000000000 B2A1") +
           std::string(8, '\0') + desc},
  };
  for (const auto& c : cases) {
    FakeService fake([](const std::string&) { return Answer(""); });
    c.call();
    EXPECT_EQ(fake.Requests(), std::vector<std::string>{c.expected}) << &c - cases;
  }
}

// Reads deliver data only for good answers; writes succeed only with a complete head.
TEST(Client, AnswersAreCheckedBeforeAnythingIsDelivered) {
  std::string d(1500, '\0');
  for (std::size_t i = 0; i < d.size(); ++i) d[i] = static_cast<char>(i * 7 + 3);
  const struct { bool write; std::string answer; uint64_t cbRead, rc, count; } cases[] = {
      {false, EntryAnswer(0, d.substr(0, 16)), 16, 0, 16},
      {false, EntryAnswer(0, d.substr(0, 5)), 16, 0, 5},
      {false, EntryAnswer(KXR_ERR_BUFFER_TOO_SMALL, d.substr(0, 4)), 16, KXR_ERR_BUFFER_TOO_SMALL, 4},
      {false, EntryAnswer(KxrResult::NoSuchEntry, d.substr(0, 16)), 16, KxrResult::NoSuchEntry, 0},  // other statuses deliver nothing
      {false, EntryAnswer(1ull << 32, d.substr(0, 16)), 16, kShort, 0},       // non-zero status, empty low half
      {false, EntryAnswer(0, d), 1500, 0, 1500},                              // in several pieces
      {false, EntryAnswer(0, d.substr(0, 17)), 16, kShort, 0},                // longer than the output area
      {false, EntryAnswer(0, d.substr(0, 16)).substr(0, 25), 16, kShort, 0},  // closed inside the answer
      {false, "", 16, kShort, 0}, {false, "\x13", 16, kShort, 0}, {false, Answer(""), 16, kShort, 0},
      {false, Le32(0xFFFFFFF0) + "abc", 16, kShort, 0}, {true, Answer(EntryHead(0, 0)), 2, 0, 0},
      {true, Answer(EntryHead(KxrResult::ReadOnlyEntry, 0)), 2, KxrResult::ReadOnlyEntry, 0},
      {true, Answer(""), 2, kShort, 0}, {true, Answer(std::string(6, '\0')), 2, kShort, 0}, {true, "", 2, kShort, 0},
      {true, Answer(EntryHead(0, 0) + "x"), 2, kShort, 0},
  };
  for (const auto& c : cases) {
    FakeService fake([&](const std::string&) { return c.answer; });
    std::string buf(c.cbRead + 8, '\xEE');
    uint64_t cb = c.write ? 0 : 99;
    const uint64_t rc = c.write ? KXRSyncWrite(0x1234, 5, 0, 2, "\xAA\xBB") : KXRSyncRead(0x1234, 5, 0, c.cbRead, &buf[0], &cb);
    EXPECT_EQ(std::make_tuple(rc, cb, buf), std::make_tuple(c.rc, c.count, d.substr(0, c.count) + std::string(buf.size() - c.count, '\xEE')))
        << &c - cases;
  }
  // Without an output area the answer head goes over the input buffer, never past it.
  FakeService fake([](const std::string&) { return Answer(EntryHead(0, 0, 0x4241)); });
  char in[8] = "\0\0\0\0zzz";
  uint64_t cb = 0;
  EXPECT_EQ(KXRIoControl(in, 4, nullptr, 0, &cb), 0u);
  EXPECT_EQ(std::string(in, 8), Hex("00004142") + "zzz" + '\0');
}

// A signal (handler without SA_RESTART) arrives every millisecond: while the send waits for a service that reads
// slowly, and while the client waits for an answer that comes a byte at a time. The recv itself never waits, so no
// signal can interrupt it: the third case has its first recv fail with EINTR as a signal would make it.
TEST(Client, InterruptedExchangesComplete) {
  struct sigaction sa = {};
  sa.sa_handler = [](int) {};
  ASSERT_EQ(::sigaction(SIGUSR1, &sa, nullptr), 0);
  const struct { FakeService::Mode mode; std::size_t cbWrite; int interruptedRecvs; } cases[] = {
      {FakeService::Mode::kSlowRead, 1 << 20, 0}, {FakeService::Mode::kPaced, 1, 0}, {FakeService::Mode::kAnswer, 1, 1}};
  for (const auto& c : cases) {
    FakeService fake([](const std::string&) { return EntryAnswer(0, "abcd"); });
    fake.SetMode(c.mode);
    const pthread_t self = ::pthread_self();
    std::atomic<bool> done{false};
    std::thread interrupter([&] { for (; !done; std::this_thread::sleep_for(std::chrono::milliseconds(1))) ::pthread_kill(self, SIGUSR1); });
    const std::string data(c.cbWrite, 'w');
    char buf[4];
    uint64_t cb = 0;
    InterruptRecvs(c.interruptedRecvs);
    EXPECT_EQ(KXRSyncReadWrite(1, 0, 0, data.size(), data.data(), 4, buf, &cb), 0u) << &c - cases;
    done = true, interrupter.join();
    EXPECT_EQ(std::string(buf, cb), "abcd") << &c - cases;
    const std::vector<std::string> sent = fake.Requests();
    EXPECT_TRUE(sent.size() == 1 && sent[0].size() == 24 + 18 + data.size() + 18 + 4 && sent[0].compare(42, data.size(), data) == 0)
        << &c - cases;
  }
}

// A refused connection is tried ten times in all, 100 ms apart, before the client gives up.
TEST(Client, RefusedConnectionsAreTriedTenTimes) {
  FakeService fake([](const std::string&) { return EntryAnswer(0, "ok"); });
  for (const auto& [refusals, rc] : {std::pair<int, uint64_t>{9, 0}, {10, KXR_ERR_CONNECTION_REFUSED}}) {
    char buf[2];
    uint64_t cb = 0;
    RefuseConnects(refusals);
    const auto begun = std::chrono::steady_clock::now();
    EXPECT_EQ(KXRSyncRead(1, 0, 0, 2, buf, &cb), rc) << refusals;
    EXPECT_EQ(Connects(), 10) << refusals;
    EXPECT_GE(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(900)) << refusals;  // 9 pauses
  }
}

TEST(Client, RefusesBadArgumentsWithoutContactingTheService) {
  FakeService fake([](const std::string&) { return EntryAnswer(0, ""); });
  char buf[80] = {};
  uint64_t cb = 99, zero = 0;
  std::string shortDesc = Le64(63) + std::string(56, '\0');
  const std::function<uint64_t()> invalid[] = {
      [&] { return KXRSyncRead(1, 0, 0, 0, buf, &cb); }, [&] { return KXRSyncWrite(1, 0, 0, 0, buf); },
      [&] { return KXRSyncWrite(1, 0, 0, 2, nullptr); }, [&] { return KXRSyncRead(1, 0, 0, 2, nullptr, &cb); },
      [&] { return KXRSyncRead(1, 0, 0, 0xFFFFFFD6u, buf, &cb); }, [&] { return KXRSyncWrite(1, 0, 0, 0xFFFFFFD6u, buf); },
      [&] { return KXRSyncGetODList(0, nullptr, buf); }, [&] { return KXRSyncGetODList(0, &cb, nullptr); },
      [&] { return KXRSyncGetODList(0, &zero, buf); }, [&] { return KXRSyncGetEntryDescription(1, 0, 0, nullptr); },
      [&] { return KXRSyncGetEntryDescription(1, 0, 0, &shortDesc[0]); }};
  for (const auto& call : invalid) EXPECT_EQ(call(), KXR_ERR_INVALID_ARGS) << &call - invalid;
  EXPECT_EQ(KXRIoControl(buf, 18, nullptr, 4, &cb), KXR_ERR_NO_MEMORY);
  EXPECT_EQ(fake.RequestCount(), 0u);
}

#if !defined(__SANITIZE_ADDRESS__)  // the sanitizer's allocator cannot run under an address-space limit
// The largest entry passes the argument check: under a 1 GiB address-space limit its record cannot be allocated.
TEST(Client, LargestEntryLengthPassesTheArgumentCheck) {
  const rlimit limit{1ull << 30, 1ull << 30};
  char b;
  uint64_t cb;
  EXPECT_EXIT(::_exit(::setrlimit(RLIMIT_AS, &limit) == 0 && KXRSyncRead(1, 0, 0, 0xFFFFFFD5u, &b, &cb) == KXR_ERR_NO_MEMORY ? 0 : 1),
              ::testing::ExitedWithCode(0), "");
}
#endif

TEST(Client, OpenChecksForASocketAndSystemCallFailuresBecomeErrnoCodes) {
  char buf[4];
  uint64_t cb;
  ::unlink(kPath.c_str());
  EXPECT_EQ(KXROpen(), KXR_ERR_NO_SERVICE) << "nothing";
  EXPECT_EQ(KXRSyncRead(1, 0, 0, 4, buf, &cb), KXR_ERR_ERRNO_BASE + ENOENT) << "no socket file";
  std::ofstream(kPath).put('x');
  EXPECT_EQ(KXROpen(), KXR_ERR_NO_SERVICE) << "regular file";
  ASSERT_EQ(::unlink(kPath.c_str()) | ::mkdir(kPath.c_str(), 0755), 0);
  EXPECT_EQ(KXROpen(), KXR_ERR_NO_SERVICE) << "directory";
  ::rmdir(kPath.c_str());
  ASSERT_TRUE(MakeDeadSocket());
  EXPECT_EQ(KXROpen(), 0u) << "socket, nobody listening";
  // A service that stops reading: the send fails with EPIPE instead of raising SIGPIPE.
  FakeService fake([](const std::string&) { return EntryAnswer(0, "ok"); });
  ::signal(SIGPIPE, SIG_DFL);
  fake.SetMode(FakeService::Mode::kShutRead);
  const std::string big(4 << 20, 'w');
  EXPECT_EQ(KXRSyncWrite(1, 0, 0, big.size(), big.data()), KXR_ERR_ERRNO_BASE + EPIPE);
}

// The list and description calls check their answers' fixed heads too.
TEST(Client, DescriptionAnswersNeedTheirHeads) {
  const std::string answers[] = {
      Answer("\x03" + Le16(0x0201) + "\x01" + Le64(KxrResult::NoSuchEntry)), Answer(std::string(11, '\0')),
      Answer(Le64(KxrResult::ReadOnlyEntry) + Le64(64) + std::string(56, 'n')), Answer(Le64(0) + std::string(63, 'm'))};
  std::size_t next = 0;
  FakeService fake([&](const std::string&) { return answers[next++]; });
  uint8_t v1 = 0, v3 = 0;
  uint16_t v2 = 0;
  EXPECT_EQ(KXRSyncGetObjectDescription(1, 0, &v1, &v2, &v3, nullptr, nullptr), KxrResult::NoSuchEntry) << "no name buffer";
  EXPECT_EQ(v1 * 0x1000000 + v2 * 0x100 + v3, 0x03020101);
  EXPECT_EQ(KXRSyncGetObjectDescription(1, 0, &v1, &v2, &v3, nullptr, nullptr), kShort);
  std::string desc = Le64(64) + std::string(56, 'o');
  for (uint64_t rc : {uint64_t{KxrResult::ReadOnlyEntry}, kShort}) {  // unchanged by the short answer
    EXPECT_EQ(KXRSyncGetEntryDescription(1, 0, 0, &desc[0]), rc);
    EXPECT_EQ(desc, Le64(64) + std::string(56, 'n'));
  }
}

}  // namespace
