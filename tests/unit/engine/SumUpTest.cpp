// Sum-up read and write through the engine against an in-process fake service on the test build's service socket.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <tuple>

#include "FakeService.h"
#include "KXRWeb.h"
#include "KxrApiBSD.h"
#include "Kxr.h"
#include "SumUpBuffers.h"

using namespace KxrTest;

namespace {

int Execute(int group, int count, int cbRdLen, const std::string& pwrData, std::string& result) {
  _KXR_Parameters p;
  std::tie(p.indexGroup, p.indexOffset, p.cbRdLen, p.pwrData) = std::tie(group, count, cbRdLen, pwrData);
  result.clear();
  return CKxr(p).Execute(result);
}

constexpr int R = KxrProtocol::kSumUpRead, W = KxrProtocol::kSumUpWrite;

class SumUp : public ::testing::Test {
 protected:
  void SetUp() override { ::unlink(KxrSettings::kServiceSocketPath); }
  // A fake whose reads answer the given (status, data) pairs in turn.
  static FakeService::Handler Reads(std::vector<std::pair<uint32_t, std::string>> answers) {
    auto next = std::make_shared<size_t>(0);
    return [answers, next](const std::string&) {
      const auto& a = answers.at((*next)++ % answers.size());
      return EntryAnswer(a.first, a.second);
    };
  }
};

TEST_F(SumUp, ReadGathersRecordsThenDataAsDelivered) {
  const struct {
    std::vector<std::pair<uint32_t, std::string>> answers;
    int count, cbRdLen;
    std::string headers;
    int code;
    std::string result;
  } rows[] = {
      {{{0, "abcd"}}, 1, 12, Header(0x1234, 5, 4, 7, 0xFFFFFFFF), 0, Record(0, 4) + "abcd"},
      // Back to back, only as much as delivered, not filled up to cbRdLen.
      {{{0, "xyz"}, {0, "12345"}}, 2, 100, Header(1, 1, 8) + Header(2, 1, 8), 0,
       Record(0, 3) + Record(0, 5) + "xyz12345"},
      // Failures are recorded and the batch goes on; lengths 0 and above the limit make no access.
      {{{KxrResult::EntryBufferTooSmall, "ab"}, {KxrResult::NoSuchEntry, ""}, {0, "z"}}, 5, 100,
       Header(1, 0, 0) + Header(1, 1, 2) + Header(1, 2, 0x100001) + Header(1, 3, 4) + Header(1, 4, 1) + Header(9, 9, 1),
       0, Record(KxrResult::EntryBufferTooSmall, 0) + Record(KxrResult::EntryBufferTooSmall, 2) + Record(KxrResult::EntryTooLong, 0) + Record(KxrResult::NoSuchEntry, 0) +
              Record(0, 1) + "abz"},
      {{{0, "abcd"}}, 1, 8, Header(1, 1, 4), KXRWEB_ERR_OUT_OF_RANGE, ""},        // no room at all
      {{{0, "abcd"}}, 1, 10, Header(1, 1, 4), KXRWEB_ERR_READBUF_TOO_SMALL, ""},  // 2 bytes of room for 4
      {{{KxrResult::NoSuchEntry, ""}}, 1, 8, Header(1, 1, 4), 0, Record(KxrResult::NoSuchEntry, 0)},      // nothing delivered fits
  };
  for (const auto& row : rows) {
    FakeService fake(Reads(row.answers));
    std::string result;
    EXPECT_EQ(std::make_pair(Execute(R, row.count, row.cbRdLen, row.headers, result), result),
              std::make_pair(row.code, row.result)) << &row - rows;
  }
  FakeService fake(Reads({{0, "abcd"}}));
  std::string result;
  ASSERT_EQ(Execute(R, 1, 12, Header(0x1234, 5, 4, 7), result), 0);
  EXPECT_EQ(fake.Requests(), std::vector<std::string>{Le64(46) + Le64(24) + Le64(24) + EntryHead(~0ull, 4, 0x1234, 5, 7) +
                                                      std::string(4, '\0')});
}

TEST_F(SumUp, MalformedWriteBufferWritesNothing) {
  const std::pair<std::string, int> rows[] = {
      {Header(1, 1, 2) + Header(1, 2, 3) + "abcd", KXRWEB_ERR_INVALID_SOAP},  // data one byte short
      {Header(1, 1, 1) + Header(1, 2, 0x100001) + "ab", KXRWEB_ERR_INVALID_SOAP},
      {Header(1, 1, 1) + Header(1, 2, 0x100001) + std::string(0x100002, 'x'), KXRWEB_ERR_MAX_WRITEBUF},
  };
  for (const auto& [buffer, code] : rows) {
    FakeService fake(Reads({{0, ""}}));
    std::string result;
    EXPECT_EQ(std::make_tuple(Execute(W, 2, 2000, buffer, result), fake.RequestCount(), result),
              std::make_tuple(code, 0u, "")) << code;
  }
}

// A call's deadline ends its batch: what is not sent by then carries the timed-out code, no write reported done.
TEST_F(SumUp, NothingIsSentAfterTheDeadline) {
  KxrSim::Dictionary dict;
  std::string headers;
  for (uint8_t i = 0; i < 6; ++i) dict.Set(0x3000, i, "."), headers += Header(0x3000, i, 1);
  FakeService fake([&dict](const std::string& request) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return dict.Answer(request);
  });
  const uint32_t timedOut = KxrResult::ErrnoCode(ETIMEDOUT);
  for (const int group : {R, W}) {
    _KXR_Parameters p;
    std::tie(p.indexGroup, p.indexOffset, p.cbRdLen, p.pwrData) = std::make_tuple(group, 6, 100, headers + (group == W ? "abcdef" : ""));
    CKxr engine(p);
    engine.SetDeadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(450));  // two begin in time
    const std::size_t before = fake.RequestCount();
    std::string result;
    ASSERT_EQ(engine.Execute(result), 0);
    const std::size_t sent = fake.RequestCount() - before;
    EXPECT_TRUE(sent >= 1 && sent <= 3) << sent;
    std::string want, data, stored;
    for (std::size_t i = 0; i < 6; ++i) {
      want += group == R ? Record(i < sent ? 0 : timedOut, i < sent ? 1 : 0) : Le32(i < sent ? 0 : timedOut);
      data += i < sent ? "." : "";
      ASSERT_TRUE(dict.Get(0x3000, static_cast<uint8_t>(i), stored));
      EXPECT_EQ(stored, group == W && i < sent ? std::string(1, "abcdef"[i]) : ".") << i;
    }
    EXPECT_EQ(result, group == R ? want + data : want);
  }
}

// A service that takes exchanges and never answers costs a batch one exchange bound, not one per sub-request, and
// fails every sub-request it did not complete (no write is reported as done).
TEST_F(SumUp, StalledServiceCostsOneBoundPerBatch) {
  FakeService fake;
  fake.SetMode(FakeService::Mode::kHangAfterRead);
  const uint32_t timedOut = static_cast<uint32_t>(KXR_ERR_ERRNO_BASE + ETIMEDOUT);
  const auto bound = std::chrono::seconds(KxrSettings::kExchangeTimeoutSeconds);
  std::string result;
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(Execute(R, 3, 100, Header(0x2000, 1, 2) + Header(0x2000, 2, 0) + Header(0x2000, 3, 2), result), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, bound * 3 / 2);
  EXPECT_EQ(result, Record(timedOut, 0) + Record(KxrResult::EntryBufferTooSmall, 0) + Record(timedOut, 0));
  start = std::chrono::steady_clock::now();
  ASSERT_EQ(Execute(W, 3, 12, Header(0x2000, 1, 1) + Header(0x2000, 2, 1) + Header(0x2000, 3, 1) + "abc", result), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, bound * 3 / 2);
  EXPECT_EQ(result, Le32(timedOut) + Le32(timedOut) + Le32(timedOut));
}

}  // namespace
