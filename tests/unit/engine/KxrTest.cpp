// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The engine: its parameters and their validation, sum-up read and write against an in-process fake service on the
// test build's service socket, and the automation path against the stand-in library (found through LD_LIBRARY_PATH).
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <tuple>

#include "CliCall.h"
#include "FakeService.h"
#include "KXRWeb.h"
#include "KxrApiBSD.h"
#include "Kxr.h"
#include "PxoStubControl.h"

using namespace KxrTest;

namespace {

constexpr int R = KxrProtocol::kSumUpRead, W = KxrProtocol::kSumUpWrite;

_KXR_Parameters Params(int group, int count, int cbRdLen, const std::string& pwrData) {
  _KXR_Parameters p;
  std::tie(p.indexGroup, p.indexOffset, p.cbRdLen, p.pwrData) = std::tie(group, count, cbRdLen, pwrData);
  return p;
}

int Execute(int group, int count, int cbRdLen, const std::string& pwrData, std::string& result) {
  result.clear();
  return CKxr(Params(group, count, cbRdLen, pwrData)).Execute(result);
}

// kxr-cli's call with a net id and a port of its own, less the element skip.
std::string Body(const std::string& skip = "") {
  std::string body = std::regex_replace(KxrCli::ReadWriteEnvelope(61568, 2, 100, "AAEC"), std::regex("<netId></netId><nPort>0<"),
                                        "<netId>1.2.3.4.5.6</netId><nPort>851<");
  return skip.empty() ? body : std::regex_replace(body, std::regex("<" + skip + ">[^<]*</" + skip + ">"), "");
}

TEST(Parameters, ReadEveryFieldOrGiveTheMissingOnesCode) {
  _KXR_Parameters p;
  ASSERT_EQ(CKxr::SoapToKxrParameters(Body(), p), 0);
  EXPECT_EQ(0, memcmp(p.netId.b, "\1\2\3\4\5\6", 6));
  EXPECT_EQ(std::make_tuple(p.nPort, p.indexGroup, p.indexOffset, p.cbRdLen, p.pwrData),
            std::make_tuple(851, 61568, 2, 100, std::string("AAEC")));  // pwrData still Base64 text
  for (const char* missing : {"netId", "nPort", "indexGroup", "indexOffset", "cbRdLen", "pwrData"})
    EXPECT_EQ(CKxr::SoapToKxrParameters(Body(missing), p),
              std::strcmp(missing, "pwrData") == 0 ? KXRWEB_ERR_INVALID_WRITEBUF : KXRWEB_ERR_INVALID_SOAP)
        << missing;
}

TEST(Parameters, ValidationRulesInTheirOrder) {
  const int A = KXRWEB_ERR_INVALID_ARGUMENT, S = KXRWEB_ERR_READBUF_TOO_SMALL, B = KXRWEB_ERR_INVALID_WRITEBUF;
  // Automation commands are not for callers; the count rule comes before cbRdLen.
  const struct { int group, count, cbRdLen; size_t length; int code; } rows[] = {
      {KxrProtocol::kPxoRead, 1, 8, 12, A}, {0, 1, 8, 12, A}, {R, 0, 0, 12, A}, {R, -1, 8, 12, A},
      {R, 301, 8, 12, KXRWEB_ERR_MAX_SUBCOMMANDS}, {R, 300, 2400, 3600, 0}, {R, 1, 0, 12, S},
      {R, 1, 1048577, 12, KXRWEB_ERR_MAX_READBUF}, {R, 1, 1048576, 12, 0}, {R, 1, 8, 0, B}, {R, 2, 15, 24, S},
      {R, 2, 16, 24, 0}, {R, 2, 16, 30, B} /* not a multiple of 12 */, {R, 2, 16, 12, B} /* one header for two */,
      {R, 2, 16, 36, 0} /* the third header is ignored */, {W, 2, 7, 24, S}, {W, 2, 8, 24, 0}, {W, 2, 8, 23, B},
      {W, 2, 8, 31, 0} /* data follows the headers */,
  };
  for (const auto& row : rows) {
    CKxr engine(Params(row.group, row.count, row.cbRdLen, std::string(row.length, '\0')));
    EXPECT_EQ(engine.ValidateParameters(), row.code) << &row - rows;
  }
}

// The stand-in's control functions, from the same copy the engine opens.
class PxoPath : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(lib_, nullptr) << "stand-in library not on LD_LIBRARY_PATH";
    Reset();
  }
  void TearDown() override { if (lib_) dlclose(lib_); }
  template <class F> F Sym(const char* name) { return reinterpret_cast<F>(dlsym(lib_, name)); }
  void Reset() { Sym<PPxoStubReset>("PxoStubReset")(); }
  void setAnswer_(const void* d, uint64_t n, uint64_t got, int64_t rc) { Sym<PPxoStubSetAnswer>("PxoStubSetAnswer")(d, n, got, rc); }
  int lastRequest_(PxoStubRequest* r) { return Sym<PPxoStubLastRequest>("PxoStubLastRequest")(r); }
  std::string WriteData() {
    std::string data(Sym<PPxoStubLastWriteData>("PxoStubLastWriteData")(nullptr, 0), '\0');
    return Sym<PPxoStubLastWriteData>("PxoStubLastWriteData")(&data[0], data.size()), data;
  }
  void* lib_ = dlopen(KxrSettings::kPxoLibrary, RTLD_NOW | RTLD_LOCAL);
};

// One library request carries the batch: a read its headers (group words unchanged, lengths 0 too), a write its
// headers and data up to the last block; the target's words are passed on as it filled them.
TEST_F(PxoPath, OneRequestCarriesTheBatch) {
  const std::string reads = Header(0x1234, 1, 4, 0, 0xAABBCCDD) + Header(0x1234, 1, 0) + Header(0x1234, 1, 7);
  const std::string writes = Header(0x1234, 1, 1) + Header(0x1234, 1, 0) + Header(0x1234, 1, 1) + "ab" + "xyz";
  const struct {  // request: group, count, cbRead, with a returned-length pointer
    int group, count, cbRdLen; std::string buffer, answer; uint64_t got; std::string result, sent;
    std::tuple<uint64_t, uint64_t, uint64_t, int> request;
  } rows[] = {{R, 2, 100, reads, std::string(40, 'a'), 30, std::string(30, 'a'), reads.substr(0, 24),
               {KxrProtocol::kPxoRead, 2, 100, 1}},
              {W, 3, 12, writes, Le32(0x11), 0, Le32(0x11) + Le32(0) + Le32(0), writes.substr(0, 38),
               {KxrProtocol::kPxoWrite, 3, 12, 0}}};
  for (const auto& row : rows) {
    setAnswer_(row.answer.data(), row.answer.size(), row.got, 0);
    CKxr engine(Params(row.group, row.count, row.cbRdLen, row.buffer));
    std::string result;
    ASSERT_EQ(row.group == R ? engine.SumUpReadPXO(result, 5) : engine.SumUpWritePXO(result, 5), 0);
    PxoStubRequest r{};
    ASSERT_EQ(lastRequest_(&r), 1);
    EXPECT_EQ(std::make_tuple(result, WriteData(), r.port, r.hasAddr), std::make_tuple(row.result, row.sent, 5u, 1));
    EXPECT_EQ(std::make_tuple(r.indexGroup, r.indexOffset, r.cbRead, r.hasReturned), row.request);
  }
  Reset();
  std::string result;
  PxoStubRequest r{};
  EXPECT_EQ(CKxr(Params(R, 2, 15, reads)).SumUpReadPXO(result, 5), KXRWEB_ERR_READBUF_TOO_SMALL);
  EXPECT_EQ(lastRequest_(&r), 0) << "a refused read makes no request";
}

TEST_F(PxoPath, FailedLibraryCallIsAFailure) {
  const std::pair<int64_t, int> rows[] = {
      {-5, -5}, {int64_t{KxrResult::ServiceRefused}, static_cast<int>(KxrResult::ServiceRefused)}, {7, KXRWEB_ERR_UNSPECIFIC}};
  for (const auto& [library, code] : rows) {
    setAnswer_("abcdefgh", 8, 8, library);
    CKxr read(Params(R, 1, 8, Header(0x1234, 1, 4)));
    CKxr write(Params(W, 1, 4, Header(0x1234, 1, 1) + "a"));
    std::string result;
    EXPECT_EQ(read.SumUpReadPXO(result, 1), code) << library;
    EXPECT_EQ(write.SumUpWritePXO(result, 1), code) << library;
    EXPECT_TRUE(result.empty());
  }
  setAnswer_(nullptr, 0, 0, 0);  // a read of nothing is an empty result
  std::string result = "stale";
  EXPECT_EQ(std::to_string(CKxr(Params(R, 1, 8, Header(0x1234, 1, 4))).SumUpReadPXO(result, 1)) + result, "0");
}

// Reads gather their records, then the data as delivered; a malformed write batch writes nothing.
TEST(SumUp, ReadsGatherRecordsThenDataAndMalformedWritesSendNothing) {
  KxrSim::Dictionary dict;
  for (const auto& [sub, value] : {std::pair<uint8_t, const char*>{1, "abc"}, {4, "z"}, {5, "abcd"}}) dict.Set(1, sub, value);
  FakeService fake(dict);
  const uint32_t small = KxrResult::EntryBufferTooSmall, none = KxrResult::NoSuchEntry;
  const struct { int group, count, cbRdLen; std::string buffer; int code; std::string result; } rows[] = {
      // Failures are recorded and the batch goes on (2 bytes of 3, a missing entry); lengths 0 and above the limit
      // make no access. The data go back to back, only as much as delivered, not filled up to cbRdLen.
      {R, 5, 100, Header(1, 0, 0) + Header(1, 1, 2) + Header(1, 2, 0x100001) + Header(1, 3, 4) + Header(1, 4, 1) + Header(9, 9, 1),
       0, Record(small, 0) + Record(small, 2) + Record(KxrResult::EntryTooLong, 0) + Record(none, 0) + Record(0, 1) + "abz"},
      {R, 1, 8, Header(1, 5, 4), KXRWEB_ERR_OUT_OF_RANGE, ""},        // no room at all
      {R, 1, 10, Header(1, 5, 4), KXRWEB_ERR_READBUF_TOO_SMALL, ""},  // 2 bytes of room for 4
      {R, 1, 8, Header(1, 3, 4), 0, Record(none, 0)},                 // nothing delivered fits
      {W, 2, 2000, Header(1, 1, 1) + Header(1, 2, 0) + "a", KXRWEB_ERR_OUT_OF_RANGE, ""},  // a write without data
      {W, 2, 2000, Header(1, 1, 1) + Header(1, 2, 0x100001) + "ab", KXRWEB_ERR_INVALID_SOAP, ""},
      {W, 2, 2000, Header(1, 1, 1) + Header(1, 2, 0x100001) + std::string(0x100002, 'x'), KXRWEB_ERR_MAX_WRITEBUF, ""},
  };
  for (const auto& row : rows) {
    const std::size_t before = fake.RequestCount();
    std::string result;
    EXPECT_EQ(std::make_pair(Execute(row.group, row.count, row.cbRdLen, row.buffer, result), result),
              std::make_pair(row.code, row.result)) << &row - rows;
    EXPECT_TRUE(row.group == R || fake.RequestCount() == before) << &row - rows;
  }
  std::string result;
  ASSERT_EQ(Execute(R, 1, 12, Header(0x1234, 5, 4, 7), result), 0);
  EXPECT_EQ(fake.Requests().back(), Le64(46) + Le64(24) + Le64(24) + EntryHead(~0ull, 4, 0x1234, 5, 7) + std::string(4, '\0'));
}

// A call's deadline ends its batch: what is not sent by then carries the timed-out code, and no write that the
// service did not confirm is reported as done (reads: the daemon's slow-service case).
TEST(SumUp, NothingIsSentAfterTheDeadline) {
  KxrSim::Dictionary dict;
  std::string headers;
  for (uint8_t i = 0; i < 6; ++i) dict.Set(0x3000, i, "."), headers += Header(0x3000, i, 1);
  FakeService fake([&dict](const std::string& request) {
    return std::this_thread::sleep_for(std::chrono::milliseconds(300)), dict.Answer(request);
  });
  CKxr engine(Params(W, 6, 100, headers + "abcdef"));
  engine.SetDeadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(450));  // two begin in time
  std::string result;
  ASSERT_EQ(engine.Execute(result), 0);
  const std::size_t sent = fake.RequestCount();
  EXPECT_TRUE(sent >= 1 && sent <= 3) << sent;
  std::string want, stored;
  for (std::size_t i = 0; i < 6; ++i) {
    want += Le32(i < sent ? 0 : KxrResult::ErrnoCode(ETIMEDOUT));
    ASSERT_TRUE(dict.Get(0x3000, static_cast<uint8_t>(i), stored));
    EXPECT_EQ(stored, i < sent ? std::string(1, "abcdef"[i]) : ".") << i;
  }
  EXPECT_EQ(result, want);
}

// A service that takes exchanges and never reads costs a batch one exchange bound (shortened in tests), sending or
// receiving, not one per sub-request, and fails every sub-request it did not complete (no write reported as done).
TEST(SumUp, StalledServiceCostsOneBoundPerBatch) {
  FakeService fake;
  fake.SetMode(FakeService::Mode::kHangBeforeRead);
  const uint32_t timedOut = static_cast<uint32_t>(KXR_ERR_ERRNO_BASE + ETIMEDOUT);
  const std::string big(KxrProtocol::kMaxEntryLength, 'w');  // more than the socket takes: the send runs out its bound
  const struct { int group, cbRdLen; std::string buffer, result; } rows[] = {
      {R, 100, Header(0x2000, 1, 2) + Header(0x2000, 2, 0) + Header(0x2000, 3, 2),
       Record(timedOut, 0) + Record(KxrResult::EntryBufferTooSmall, 0) + Record(timedOut, 0)},
      {W, 12, Header(0x2000, 1, 0x100000) + Header(0x2000, 2, 1) + Header(0x2000, 3, 1) + big + "bc",
       Le32(timedOut) + Le32(timedOut) + Le32(timedOut)},
  };
  for (const auto& row : rows) {
    std::string result;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Execute(row.group, 3, row.cbRdLen, row.buffer, result), 0);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                 bound = KxrSettings::kExchangeTimeoutSeconds;
    EXPECT_TRUE(seconds >= bound - 0.2 && seconds < bound * 1.5) << seconds;
    EXPECT_EQ(result, row.result);
  }
}

}  // namespace
