// The daemon against a device-profile service that misbehaves: it refuses,
// hangs, closes mid-answer, answers more than was asked, answers garbage or
// dies in the middle of a batch. Each call is answered with the documented
// codes, the daemon serves the next request, and no write is reported as done
// that the service did not confirm.
#include <gtest/gtest.h>

#include <cerrno>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "Base64.h"
#include "DaemonFixture.h"
#include "FakeService.h"
#include "SumUpBuffers.h"
#include "KXRWeb.h"
#include "Soap.h"

namespace kxrtest {
namespace {

const char kEndpoint[] = "/KxrWebService/KxrWebService.dll";
constexpr uint32_t kRefused = 0xECA60200u;
constexpr uint32_t kShort = 0xECA60FFFu;
constexpr uint32_t kTimedOut = 0xECA70000u + ETIMEDOUT;
constexpr uint32_t kErrnoBase = 0xECA70000u;   // plus errno: reset, or the socket file has gone

// A ReadWrite call carrying the raw write buffer.
std::string Call(int group, int count, int cbRdLen, const std::string& buffer) {
  return ReadWriteCall(group, count, cbRdLen, Base64::encode(buffer));
}

uint32_t Word(const std::string& bytes, std::size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(bytes.at(at + static_cast<std::size_t>(i)));
  return v;
}

class FailingService : public DaemonFixture {
 protected:
  void SetUp() override {
    DaemonFixture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_TRUE(StartServing({"-nofork"}).ready);
    ASSERT_TRUE(MakeParentDirs(KxrSettings::kServiceSocketPath));
  }

  // Posts a call; the decoded result bytes, or the fault document in fault.
  static std::string Post(const std::string& body, std::string& fault,
                          std::chrono::seconds timeout = std::chrono::seconds(30)) {
    const UnixReply reply = Exchange(DaemonHarness::SocketPath(), RequestWithBody("POST", kEndpoint, body), timeout);
    HttpAnswer answer;
    fault.clear();
    if (!ParseHttpAnswer(reply.bytes, answer)) {
      fault = "no answer: " + reply.bytes;
      return {};
    }
    const std::string open = "dt:dt=\"string\">";
    const std::size_t data = answer.body.find("<ppRdData");
    if (data == std::string::npos) {
      fault = answer.body;
      return {};
    }
    const std::size_t from = answer.body.find(open, data) + open.size();
    return Base64::decode(answer.body.substr(from, answer.body.find("</ppRdData>") - from));
  }

  // The daemon still answers a plain request.
  static void ExpectServing() {
    HttpAnswer answer;
    ASSERT_TRUE(ParseHttpAnswer(Send(Request("GET", kEndpoint)).bytes, answer));
    EXPECT_EQ(answer.status, 200);
  }
};

// One read of four bytes against a service answering with the given bytes.
TEST_F(FailingService, BrokenAnswersBecomeTheSubRequestsCode) {
  struct Row {
    const char* what;
    std::string answer;
    uint32_t code;
  } rows[] = {
      {"closes mid-answer", Answer(EntryHead(0, 4) + "ab").substr(0, 20), kShort},
      {"closes without a word", "", kShort},
      {"answers more than asked", Answer(EntryHead(0, 40) + std::string(40, 'x')), kShort},
      {"claims a huge length", Le32(0xFFFFFFF0u) + "abc", kShort},
      {"answers garbage", "\x13\x00\x00\x00garbage-garbage-gar", kShort},
      {"answers only a length", Le32(0), kShort},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    FakeService fake([&](const std::string&) { return row.answer; });
    ASSERT_TRUE(fake.Listening()) << fake.Error();
    std::string fault;
    const std::string bytes = Post(Call(0xF080, 1, 16, Header(0x1000, 1, 4)), fault);
    ASSERT_TRUE(fault.empty()) << fault;
    ASSERT_EQ(bytes.size(), 8u);
    EXPECT_EQ(Word(bytes, 0), row.code);
    EXPECT_EQ(Word(bytes, 4), 0u);
    ExpectServing();
  }
}

TEST_F(FailingService, RefusingServiceCostsItsRetriesAndIsReported) {
  ASSERT_TRUE(MakeDeadSocket());
  std::string fault;
  const auto t0 = std::chrono::steady_clock::now();
  const std::string bytes = Post(Call(0xF081, 1, 4, Header(0x2000, 1, 2) + "ab"), fault);
  ASSERT_TRUE(fault.empty()) << fault;
  EXPECT_EQ(bytes, Le32(kRefused));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
  ExpectServing();
}

TEST_F(FailingService, HangingServiceIsCutAtTheExchangeBound) {
  FakeService fake;
  fake.SetMode(FakeService::Mode::kHangAfterRead);
  ASSERT_TRUE(fake.Listening()) << fake.Error();
  std::string fault;
  const auto t0 = std::chrono::steady_clock::now();
  const std::string bytes = Post(Call(0xF081, 1, 4, Header(0x2000, 1, 2) + "ab"), fault);
  const auto took = std::chrono::steady_clock::now() - t0;
  ASSERT_TRUE(fault.empty()) << fault;
  EXPECT_EQ(bytes, Le32(kTimedOut));  // the request went out, but nothing confirmed it
  EXPECT_GE(took, std::chrono::seconds(9));
  EXPECT_LT(took, std::chrono::seconds(15));
  ExpectServing();
}

TEST_F(FailingService, ServiceDyingInABatchLosesNoConfirmedWrite) {
  constexpr int kCount = 300;
  constexpr std::size_t kDiesAt = 150;  // requests answered before it dies
  FakeDictionary dict;
  std::string buffer;
  std::string data;
  for (int i = 0; i < kCount; ++i) {
    dict.Set(0x3000, static_cast<uint8_t>(i % 256), ".");
    buffer += Header(static_cast<uint16_t>(0x3000 + i / 256), static_cast<uint8_t>(i % 256), 1);
    data += static_cast<char>('A' + i % 26);
  }
  for (int i = 256; i < kCount; ++i) dict.Set(0x3001, static_cast<uint8_t>(i % 256), ".");
  auto fake = std::make_unique<FakeService>();
  ASSERT_TRUE(fake->Listening()) << fake->Error();
  std::atomic<bool> dead{false};
  std::atomic<std::size_t> answered{0};
  fake->SetHandler([&](const std::string& request) -> std::string {
    if (answered++ >= kDiesAt) {
      dead = true;
      return "";  // this one is dropped as the service dies
    }
    return dict.Serve(request);
  });
  std::thread killer([&] {
    while (!dead) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    fake.reset();  // stops the service and removes its socket file
  });
  std::string fault;
  const std::string bytes = Post(Call(0xF081, kCount, 4 * kCount, buffer + data), fault, std::chrono::seconds(60));
  killer.join();
  ASSERT_TRUE(fault.empty()) << fault;
  ASSERT_EQ(bytes.size(), 4u * kCount);
  int done = 0;
  for (int i = 0; i < kCount; ++i) {
    std::string stored;
    ASSERT_TRUE(dict.Get(static_cast<uint16_t>(0x3000 + i / 256), static_cast<uint8_t>(i % 256), stored));
    const uint32_t code = Word(bytes, 4u * i);
    if (code == 0) {
      ++done;
      EXPECT_EQ(stored, std::string(1, data[static_cast<std::size_t>(i)])) << "sub-request " << i;
    } else {
      EXPECT_EQ(stored, ".") << "sub-request " << i << " was written but reported as failed";
      // Closed, reset or gone: a short answer or an errno code.
      EXPECT_TRUE(code == kShort || code == kRefused || (code & 0xFFFF0000u) == kErrnoBase) << std::hex << code;
    }
  }
  EXPECT_EQ(done, static_cast<int>(kDiesAt));
  ExpectServing();
}

}  // namespace
}  // namespace kxrtest
