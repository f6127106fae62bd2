// The device-profile client against an in-process fake service on the real
// socket path (inside the test's private /run).
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include "FakeService.h"
#include "KxrApiBSD.h"
#include "PrivateMounts.h"

using namespace kxrtest;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kPath = KxrSettings::kServiceSocketPath;
constexpr uint64_t kShort = KXR_ERR_SHORT_ANSWER;

std::string Hex(const char* text) {
  std::string out;
  for (const char* p = text; *p != '\0';) {
    if (*p == ' ') { ++p; continue; }
    out.push_back(static_cast<char>(std::stoi(std::string(p, 2), nullptr, 16)));
    p += 2;
  }
  return out;
}

std::string Pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + 3);
  return s;
}

double SecondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

class Client : public ::testing::Test {
 protected:
  void SetUp() override {
    KXR_REQUIRE_PRIVATE_RUN();
    ::unlink(kPath.c_str());
    ASSERT_TRUE(MakeParentDirs(kPath));
  }
  // Runs call against a fake that answers with an empty answer; the one request it sent.
  static std::string SentBy(const std::function<uint64_t()>& call) {
    FakeService fake([](const std::string&) { return Answer(""); });
    call();
    const auto requests = fake.Requests();
    return requests.size() == 1 ? requests[0] : "(" + std::to_string(requests.size()) + " requests)";
  }
};

TEST_F(Client, FramesEveryRequestKindByteForByte) {
  unsigned char buf[64] = {};
  uint64_t cb = 0, cbName = 4, cbList = 6;
  std::string desc = Le64(64) + Le16(0xA1B2) + std::string(54, '\x11');
  const struct {
    const char* what;
    std::function<uint64_t()> call;
    std::string expected;
  } cases[] = {
      {"read of 16 bytes", [&] { return KXRSyncRead(0x1234, 5, 0, 16, buf, &cb); },
       Hex("3A00000000000000 1800000000000000 1800000000000000 0000 3412 00 05 FFFFFFFFFFFFFFFF 10000000") +
           std::string(16, '\0')},
      {"write of AA BB", [&] { return KXRSyncWrite(0x1234, 5, 0, 2, "\xAA\xBB"); },
       Hex("2C00000000000000 1800000000000000 2C00000000000000 0000 3412 00 05 FFFFFFFFFFFFFFFF 02000000 AABB")},
      {"flags before sub-index", [&] { return KXRSyncRead(0xBEEF, 0x21, 0x43, 1, buf, &cb); },
       Hex("2B00000000000000 1800000000000000 1800000000000000 0000 EFBE 43 21 FFFFFFFFFFFFFFFF 01000000 00")},
      {"write and read", [&] { return KXRSyncReadWrite(7, 1, 2, 1, "\x55", 2, buf, &cb); },
       Hex("3F00000000000000 1800000000000000 2B00000000000000 0000 0700 02 01 FFFFFFFFFFFFFFFF 01000000 55"
           "0000 0700 02 01 FFFFFFFFFFFFFFFF 02000000 0000")},
      {"object-dictionary list", [&] { return KXRSyncGetODList(0x0102, &cbList, buf); },
       Hex("2200000000000000 1800000000000000 1C00000000000000 0100 0201") + std::string(6, '\0')},
      {"object description",
       [&] {
         return KXRSyncGetObjectDescription(0x1234, 0x0102030405060708, nullptr, nullptr, nullptr,
                                            reinterpret_cast<char*>(buf), &cbName);
       },
       Hex("3400000000000000 1800000000000000 2400000000000000 0200 3412 0807060504030201") + std::string(16, '\0')},
      {"entry description", [&] { return KXRSyncGetEntryDescription(0x1234, 5, 9, &desc[0]); },
       Hex("6F00000000000000 1800000000000000 2700000000000000 0300 3412 05 0900000000000000 B2A1") +
           std::string(8, '\0') + desc},
  };
  for (const auto& c : cases) EXPECT_EQ(SentBy(c.call), c.expected) << c.what;
}

TEST_F(Client, ReadsDeliverDataOnlyForGoodAnswers) {
  const std::string d = Pattern(16), big = Pattern(1500);
  const struct {
    const char* what;
    std::string answer;
    uint64_t cbRead, rc, count;
    const std::string& data;
  } cases[] = {
      {"status 0", EntryAnswer(0, d), 16, 0, 16, d},
      {"fewer bytes than wanted", EntryAnswer(0, d.substr(0, 5)), 16, 0, 5, d},
      {"buffer too small, data delivered", EntryAnswer(KXR_ERR_BUFFER_TOO_SMALL, d.substr(0, 4)), 16,
       KXR_ERR_BUFFER_TOO_SMALL, 4, d},
      {"other status, nothing delivered", EntryAnswer(0xECA60301u, d), 16, 0xECA60301u, 0, d},
      {"status with an empty low half", EntryAnswer(1ull << 32, d), 16, kShort, 0, d},
      {"answer in several pieces", EntryAnswer(0, big), 1500, 0, 1500, big},
      {"shorter than the head", Answer(std::string(10, '\0')), 16, kShort, 0, d},
      {"longer than the output area", EntryAnswer(0, d + "x"), 16, kShort, 0, d},
      {"closed before the answer", "", 16, kShort, 0, d},
      {"closed inside the length", EntryAnswer(0, d).substr(0, 2), 16, kShort, 0, d},
      {"closed inside the answer", EntryAnswer(0, d).substr(0, 25), 16, kShort, 0, d},
  };
  for (const auto& c : cases) {
    FakeService fake([&](const std::string&) { return c.answer; });
    std::vector<char> buf(c.cbRead + 8, '\xEE');
    uint64_t cb = 99;
    EXPECT_EQ(KXRSyncRead(0x1234, 5, 0, c.cbRead, buf.data(), &cb), c.rc) << c.what;
    EXPECT_EQ(cb, c.count) << c.what;
    EXPECT_EQ(std::string(buf.data(), c.count), c.data.substr(0, c.count)) << c.what;
    EXPECT_EQ(std::string(buf.data() + c.count, buf.size() - c.count), std::string(buf.size() - c.count, '\xEE'))
        << c.what << ": bytes beyond the delivered ones changed";
  }
}

TEST_F(Client, WritesSucceedOnlyWithACompleteHead) {
  const struct {
    const char* what;
    std::string answer;
    uint64_t rc;
  } cases[] = {
      {"status 0", Answer(EntryHead(0, 0)), 0},
      {"service status", Answer(EntryHead(0xECA60303u, 0)), 0xECA60303u},
      {"empty answer", Answer(""), kShort},
      {"six bytes", Answer(std::string(6, '\0')), kShort},
      {"closed before the answer", "", kShort},
      {"longer than a head", Answer(EntryHead(0, 0) + "x"), kShort},
  };
  for (const auto& c : cases) {
    FakeService fake([&](const std::string&) { return c.answer; });
    EXPECT_EQ(KXRSyncWrite(0x1234, 5, 0, 2, "\xAA\xBB"), c.rc) << c.what;
  }
  // Without an output area the answer head goes over the input buffer, never past it.
  FakeService fake([](const std::string&) { return Answer(EntryHead(0, 0, 0x4241)); });
  char in[8] = "\0\0\0\0zzz";
  uint64_t cb = 0;
  EXPECT_EQ(KXRIoControl(in, 4, nullptr, 0, &cb), 0u);
  EXPECT_EQ(std::string(in, 8), Hex("00004142") + "zzz" + '\0');
}

TEST_F(Client, ReassemblesPacedAnswersAndResumesInterruptedWaits) {
  FakeService fake([](const std::string&) { return EntryAnswer(0, "abcd"); });
  fake.SetAnswerPacing(1, std::chrono::milliseconds(3));
  struct sigaction sa = {};
  sa.sa_handler = [](int) {};  // no SA_RESTART: every wait is interrupted
  ASSERT_EQ(::sigaction(SIGUSR1, &sa, nullptr), 0);
  const pthread_t self = ::pthread_self();
  std::atomic<bool> done{false};
  std::thread interrupter([&] {
    while (!done) {
      ::pthread_kill(self, SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  char buf[4];
  uint64_t cb = 0;
  const uint64_t rc = KXRSyncRead(1, 0, 0, 4, buf, &cb);
  done = true;
  interrupter.join();
  EXPECT_EQ(rc, 0u);
  EXPECT_EQ(std::string(buf, cb), "abcd");
}

TEST_F(Client, RefusesBadArgumentsWithoutContactingTheService) {
  FakeService fake([](const std::string&) { return EntryAnswer(0, ""); });
  char buf[80] = {};
  uint64_t cb = 99, zero = 0;
  std::string shortDesc = Le64(63) + std::string(56, '\0');
  const struct {
    const char* what;
    std::function<uint64_t()> call;
    uint64_t rc;
  } cases[] = {
      {"read of 0 bytes", [&] { return KXRSyncRead(1, 0, 0, 0, buf, &cb); }, KXR_ERR_INVALID_ARGS},
      {"write of 0 bytes", [&] { return KXRSyncWrite(1, 0, 0, 0, buf); }, KXR_ERR_INVALID_ARGS},
      {"write without buffer", [&] { return KXRSyncWrite(1, 0, 0, 2, nullptr); }, KXR_ERR_INVALID_ARGS},
      {"read without buffer", [&] { return KXRSyncRead(1, 0, 0, 2, nullptr, &cb); }, KXR_ERR_INVALID_ARGS},
      {"read too long", [&] { return KXRSyncRead(1, 0, 0, 0xFFFFFFD6u, buf, &cb); }, KXR_ERR_INVALID_ARGS},
      {"write too long", [&] { return KXRSyncWrite(1, 0, 0, 0xFFFFFFD6u, buf); }, KXR_ERR_INVALID_ARGS},
      {"list without count", [&] { return KXRSyncGetODList(0, nullptr, buf); }, KXR_ERR_INVALID_ARGS},
      {"list without buffer", [&] { return KXRSyncGetODList(0, &cb, nullptr); }, KXR_ERR_INVALID_ARGS},
      {"list of capacity 0", [&] { return KXRSyncGetODList(0, &zero, buf); }, KXR_ERR_INVALID_ARGS},
      {"no description", [&] { return KXRSyncGetEntryDescription(1, 0, 0, nullptr); }, KXR_ERR_INVALID_ARGS},
      {"description below 64", [&] { return KXRSyncGetEntryDescription(1, 0, 0, &shortDesc[0]); },
       KXR_ERR_INVALID_ARGS},
      {"output length without buffer", [&] { return KXRIoControl(buf, 18, nullptr, 4, &cb); }, KXR_ERR_NO_MEMORY},
  };
  for (const auto& c : cases) {
    cb = 99;
    EXPECT_EQ(c.call(), c.rc) << c.what;
    if (std::strncmp(c.what, "read", 4) == 0) {
      EXPECT_EQ(cb, 0u) << c.what;
    }
  }
  EXPECT_EQ(fake.RequestCount(), 0u);
}

#if !defined(__SANITIZE_ADDRESS__)  // the sanitizer's allocator cannot run under an address-space limit
// Under a 1 GiB address-space limit the record cannot be allocated: 0 when
// that gives the memory code rather than the argument code.
int ReadLargestEntryUnderLimit() {
  rlimit limit;
  limit.rlim_cur = limit.rlim_max = 1ull << 30;
  ::setrlimit(RLIMIT_AS, &limit);
  char b;
  uint64_t cb;
  return KXRSyncRead(1, 0, 0, 0xFFFFFFD5u, &b, &cb) == KXR_ERR_NO_MEMORY ? 0 : 1;
}

TEST_F(Client, LargestEntryLengthPassesTheArgumentCheck) {
  EXPECT_EXIT(::_exit(ReadLargestEntryUnderLimit()), ::testing::ExitedWithCode(0), "");
}
#endif

TEST_F(Client, OpenChecksForASocket) {
  EXPECT_EQ(KXROpen(), KXR_ERR_NO_SERVICE) << "nothing";
  std::ofstream(kPath).put('x');
  EXPECT_EQ(KXROpen(), KXR_ERR_NO_SERVICE) << "regular file";
  ::unlink(kPath.c_str());
  ASSERT_EQ(::mkdir(kPath.c_str(), 0755), 0);
  EXPECT_EQ(KXROpen(), KXR_ERR_NO_SERVICE) << "directory";
  ::rmdir(kPath.c_str());
  ASSERT_TRUE(MakeDeadSocket());
  EXPECT_EQ(KXROpen(), 0u) << "socket, nobody listening";
  FakeService fake;
  EXPECT_EQ(KXROpen(), 0u) << "listening socket";
  EXPECT_EQ(KXRClose(), 0u);
}

TEST_F(Client, SystemCallFailuresBecomeErrnoCodes) {
  char buf[4];
  uint64_t cb;
  EXPECT_EQ(KXRSyncRead(1, 0, 0, 4, buf, &cb), KXR_ERR_ERRNO_BASE + ENOENT) << "no socket file";
  // A service that stops reading: the send fails with EPIPE instead of raising SIGPIPE.
  ::signal(SIGPIPE, SIG_DFL);
  FakeService fake;
  fake.SetMode(FakeService::Mode::kShutRead);
  const std::vector<char> big(4 << 20, 'w');
  EXPECT_EQ(KXRSyncWrite(1, 0, 0, big.size(), big.data()), KXR_ERR_ERRNO_BASE + EPIPE);
}

// A socket file with nothing behind it until a listening fake replaces it after `delay`.
uint64_t ReadWhileServiceStartsAfter(std::chrono::milliseconds delay, double& seconds) {
  if (!MakeDeadSocket()) return ~0ull;
  FakeService fake([](const std::string&) { return EntryAnswer(0, "ok"); }, kPath + ".new");
  const auto t0 = Clock::now();
  std::thread starter([&] {
    std::this_thread::sleep_until(t0 + delay);
    fake.MoveTo(kPath);
  });
  char buf[2];
  uint64_t cb;
  const uint64_t rc = KXRSyncRead(1, 0, 0, 2, buf, &cb);
  seconds = SecondsSince(t0);
  starter.join();
  return rc;
}

TEST_F(Client, RetriesARefusedConnectionTenTimes) {
  double seconds = 0;
  // Attempts start at 0, 0.1, ..., 0.9 s: the tenth finds the service.
  EXPECT_EQ(ReadWhileServiceStartsAfter(std::chrono::milliseconds(850), seconds), 0u);
  EXPECT_GE(seconds, 0.85);
  // There is no eleventh attempt at 1.0 s.
  EXPECT_EQ(ReadWhileServiceStartsAfter(std::chrono::milliseconds(960), seconds), KXR_ERR_CONNECTION_REFUSED);
  EXPECT_GE(seconds, 0.9);
  EXPECT_LT(seconds, 3.0);
}

// The list and description calls check their answers' fixed heads too.
TEST_F(Client, DescriptionAnswersNeedTheirHeads) {
  const std::string answers[] = {
      Answer("\x03" + Le16(0x0201) + "\x01" + Le64(0xECA60301u)), Answer(std::string(11, '\0')),
      Answer(Le64(0xECA60303u) + Le64(64) + std::string(56, 'n')), Answer(Le64(0) + std::string(63, 'm'))};
  std::size_t next = 0;
  FakeService fake([&](const std::string&) { return answers[next++]; });
  uint8_t v1 = 0, v3 = 0;
  uint16_t v2 = 0;
  EXPECT_EQ(KXRSyncGetObjectDescription(1, 0, &v1, &v2, &v3, nullptr, nullptr), 0xECA60301u) << "no name buffer";
  EXPECT_EQ(v1 * 0x1000000 + v2 * 0x100 + v3, 0x03020101);
  EXPECT_EQ(KXRSyncGetObjectDescription(1, 0, &v1, &v2, &v3, nullptr, nullptr), kShort);
  std::string desc = Le64(64) + std::string(56, 'o');
  EXPECT_EQ(KXRSyncGetEntryDescription(1, 0, 0, &desc[0]), 0xECA60303u);
  EXPECT_EQ(desc, Le64(64) + std::string(56, 'n'));
  EXPECT_EQ(KXRSyncGetEntryDescription(1, 0, 0, &desc[0]), kShort);
  EXPECT_EQ(desc, Le64(64) + std::string(56, 'n')) << "unchanged by a short answer";
}

}  // namespace
