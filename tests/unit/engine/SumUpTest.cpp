// Sum-up read and write against an in-process fake device-profile service on
// the real socket path (inside the test's private /run).
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "FakeService.h"
#include "SumUpBuffers.h"
#include "EngineCall.h"
#include "KXRWeb.h"
#include "Kxr.h"
#include "PrivateMounts.h"

using namespace kxrtest;

namespace {

const std::string kPath = KxrSettings::kServiceSocketPath;

class SumUp : public ::testing::Test {
 protected:
  void SetUp() override {
    KXR_REQUIRE_PRIVATE_RUN();
    ::unlink(kPath.c_str());
    ASSERT_TRUE(MakeParentDirs(kPath));
  }
  // A fake whose reads answer the given (status, data) pairs in order.
  static FakeService::Handler Reads(std::vector<std::pair<uint32_t, std::string>> answers) {
    auto next = std::make_shared<size_t>(0);
    return [answers, next](const std::string&) {
      const auto& a = answers.at((*next)++ % answers.size());
      return EntryAnswer(a.first, a.second);
    };
  }
};

TEST_F(SumUp, ReadGathersRecordsAndData) {
  FakeService fake(Reads({{0, "abcd"}}));
  std::string result;
  // Group word all ones, sub-index 5, flags 7, index 0x1234, 4 bytes wanted.
  ASSERT_EQ(Execute(KxrProtocol::kSumUpRead, 1, 12, Header(0x1234, 5, 4, 7, 0xFFFFFFFF), result), 0);
  EXPECT_EQ(result, Record(0, 4) + "abcd");
  EntryRequest sent;
  ASSERT_EQ(fake.Requests().size(), 1u);
  ASSERT_TRUE(ParseEntryRequest(fake.Requests()[0], sent));
  EXPECT_EQ(sent.index, 0x1234);
  EXPECT_EQ(sent.subIndex, 5);
  EXPECT_EQ(sent.flags, 7);
  EXPECT_EQ(sent.readLength, 4u);
}

TEST_F(SumUp, ReadPacksDataBackToBackAndOnlyAsMuchAsDelivered) {
  FakeService fake(Reads({{0, "xyz"}, {0, "12345"}}));
  std::string result;
  // Both ask for more than they get; the result is not filled up to cbRdLen.
  ASSERT_EQ(Execute(KxrProtocol::kSumUpRead, 2, 100, Header(1, 1, 8) + Header(2, 1, 8), result), 0);
  EXPECT_EQ(result, Record(0, 3) + Record(0, 5) + "xyz12345");
  EXPECT_EQ(result.substr(19), "12345");
}

TEST_F(SumUp, ReadRecordsSubRequestFailuresAndGoesOn) {
  FakeService fake(Reads({{0xECA60102u, "ab"}, {0xECA60301u, ""}, {0, "z"}}));
  std::string result;
  const std::string headers = Header(1, 0, 0) + Header(1, 1, 2) + Header(1, 2, 0x100001) + Header(1, 3, 4) +
                              Header(1, 4, 1) + Header(9, 9, 1);  // the sixth header is beyond the count
  ASSERT_EQ(Execute(KxrProtocol::kSumUpRead, 5, 100, headers, result), 0);
  EXPECT_EQ(result, Record(0xECA60102u, 0) + Record(0xECA60102u, 2) + Record(0xECA60104u, 0) +
                        Record(0xECA60301u, 0) + Record(0, 1) + "abz");
  EXPECT_EQ(fake.RequestCount(), 3u);  // lengths 0 and above the limit make no access
}

TEST_F(SumUp, ReadFailsWhenDataDoesNotFit) {
  struct Row {
    int cbRdLen;
    uint32_t status;
    std::string data;
    int code;
    std::string result;
  } rows[] = {
      {8, 0, "abcd", KXRWEB_ERR_OUT_OF_RANGE, ""},         // no room at all
      {10, 0, "abcd", KXRWEB_ERR_READBUF_TOO_SMALL, ""},   // 2 bytes of room for 4
      {8, 0xECA60301u, "", 0, Record(0xECA60301u, 0)},     // nothing delivered: fits
  };
  for (const Row& row : rows) {
    FakeService fake(Reads({{row.status, row.data}}));
    std::string result;
    EXPECT_EQ(Execute(KxrProtocol::kSumUpRead, 1, row.cbRdLen, Header(1, 1, 4), result), row.code) << row.cbRdLen;
    EXPECT_EQ(result, row.result);
  }
}

TEST_F(SumUp, GroupWordsDoNotMatter) {
  FakeDictionary dict;
  dict.Set(0x2000, 1, "\x01\x02\x03\x04");
  FakeService fake(dict.Handler());
  std::string a, b;
  ASSERT_EQ(Execute(KxrProtocol::kSumUpRead, 1, 12, Header(0x2000, 1, 4, 0, 0), a), 0);
  ASSERT_EQ(Execute(KxrProtocol::kSumUpRead, 1, 12, Header(0x2000, 1, 4, 0, 0xDEADBEEF), b), 0);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a, Record(0, 4) + "\x01\x02\x03\x04");
}

TEST_F(SumUp, WriteSplitsDataAndReturnsOneWordEach) {
  FakeDictionary dict;
  dict.Set(0x3000, 1, "..");
  dict.Set(0x3000, 2, "...");
  dict.Set(0x3000, 3, "r", /*readOnly=*/true);
  FakeService fake(dict.Handler());
  std::string result;
  const std::string buffer = Header(0x3000, 1, 2) + Header(0x3000, 3, 1) + Header(0x3000, 2, 3) + "ab" + "X" +
                             "cde" + "ext";  // trailing bytes are ignored
  ASSERT_EQ(Execute(KxrProtocol::kSumUpWrite, 3, 1000, buffer, result), 0);
  EXPECT_EQ(result, Le32(0) + Le32(FakeDictionary::kReadOnly) + Le32(0));  // 4 bytes per sub-request, not cbRdLen
  std::string stored;
  ASSERT_TRUE(dict.Get(0x3000, 1, stored));
  EXPECT_EQ(stored, "ab");
  ASSERT_TRUE(dict.Get(0x3000, 2, stored));
  EXPECT_EQ(stored, "cde");
}

TEST_F(SumUp, MalformedWriteBufferWritesNothing) {
  struct Row {
    const char* what;
    std::string buffer;
    int code;
  } rows[] = {
      {"data one byte short", Header(1, 1, 2) + Header(1, 2, 3) + "abcd", KXRWEB_ERR_INVALID_SOAP},
      {"too long and missing", Header(1, 1, 1) + Header(1, 2, 0x100001) + "ab", KXRWEB_ERR_INVALID_SOAP},
      {"too long", Header(1, 1, 1) + Header(1, 2, 0x100001) + std::string(0x100002, 'x'), KXRWEB_ERR_MAX_WRITEBUF},
      // A sub-request without data is refused before the first write.
      {"zero length", Header(1, 1, 1) + Header(1, 2, 0) + Header(1, 3, 1) + "ab", KXRWEB_ERR_OUT_OF_RANGE},
  };
  for (const Row& row : rows) {
    FakeService fake(Reads({{0, ""}}));
    std::string result;
    const int count = row.code == KXRWEB_ERR_OUT_OF_RANGE ? 3 : 2;
    EXPECT_EQ(Execute(KxrProtocol::kSumUpWrite, count, 100, row.buffer, result), row.code) << row.what;
    EXPECT_EQ(fake.RequestCount(), 0u) << row.what;
    EXPECT_TRUE(result.empty()) << row.what;
  }
}

TEST_F(SumUp, ServiceAbsentOrNotListening) {
  std::string result;
  // No socket file: the call fails before any access.
  EXPECT_EQ(Execute(KxrProtocol::kSumUpRead, 1, 8, Header(1, 1, 4), result), static_cast<int>(0xECA60201u));
  EXPECT_EQ(Execute(KxrProtocol::kSumUpWrite, 1, 4, Header(1, 1, 1) + "a", result), static_cast<int>(0xECA60201u));
  EXPECT_TRUE(result.empty());
  // A socket file with nothing listening: every sub-request records the refusal.
  ASSERT_TRUE(MakeDeadSocket());
  ASSERT_EQ(Execute(KxrProtocol::kSumUpRead, 2, 16, Header(1, 1, 4) + Header(1, 2, 4), result), 0);
  EXPECT_EQ(result, Record(0xECA60200u, 0) + Record(0xECA60200u, 0));
  ASSERT_EQ(Execute(KxrProtocol::kSumUpWrite, 1, 4, Header(1, 1, 1) + "a", result), 0);
  EXPECT_EQ(result, Le32(0xECA60200u));
}

}  // namespace
