// The engine's parameters and their validation, and the automation path against the stand-in library (found
// through LD_LIBRARY_PATH).
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "KXRWeb.h"
#include "Kxr.h"
#include "PxoStubControl.h"
#include "Settings.h"
#include "SumUpBuffers.h"

using namespace KxrTest;

namespace {

_KXR_Parameters Params(int group, int count, int cbRdLen, const std::string& pwrData) {
  _KXR_Parameters p;
  std::tie(p.indexGroup, p.indexOffset, p.cbRdLen, p.pwrData) = std::tie(group, count, cbRdLen, pwrData);
  return p;
}

std::string Body(const std::string& skip = "") {
  const char* names[][2] = {{"netId", "1.2.3.4.5.6"}, {"nPort", "851"}, {"indexGroup", "61568"},
                            {"indexOffset", "2"},     {"cbRdLen", "100"}, {"pwrData", "AAEC"}};
  std::string body = "<u:ReadWrite xmlns:u=\"urn:KxrWebService\">";
  for (auto& nv : names)
    if (skip != nv[0]) body += std::string("<") + nv[0] + ">" + nv[1] + "</" + nv[0] + ">";
  return body + "</u:ReadWrite>";
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
  const int R = KxrProtocol::kSumUpRead, W = KxrProtocol::kSumUpWrite;
  const int A = KXRWEB_ERR_INVALID_ARGUMENT, S = KXRWEB_ERR_READBUF_TOO_SMALL, B = KXRWEB_ERR_INVALID_WRITEBUF;
  const struct {
    int group, count, cbRdLen;
    size_t length;
    int code;
  } rows[] = {  // automation commands are not for callers; the count rule comes before cbRdLen
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
    lib_ = dlopen(KxrSettings::kPxoLibrary, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib_, nullptr) << "stand-in library not on LD_LIBRARY_PATH";
    Reset();
  }
  void TearDown() override { if (lib_) dlclose(lib_); }
  template <class F> F Sym(const char* name) { return reinterpret_cast<F>(dlsym(lib_, name)); }
  void Reset() { Sym<PPxoStubReset>("PxoStubReset")(); }
  void setAnswer_(const void* d, uint64_t n, uint64_t got, int64_t rc) { Sym<PPxoStubSetAnswer>("PxoStubSetAnswer")(d, n, got, rc); }
  int lastRequest_(PxoStubRequest* r) { return Sym<PPxoStubLastRequest>("PxoStubLastRequest")(r); }
  std::string WriteData() {
    const auto lastWrite = Sym<PPxoStubLastWriteData>("PxoStubLastWriteData");
    std::string data(lastWrite(nullptr, 0), '\0');
    lastWrite(&data[0], data.size());
    return data;
  }
  void* lib_ = nullptr;
};

TEST_F(PxoPath, ReadSendsTheHeadersInOneRequest) {
  setAnswer_(std::string(40, 'a').data(), 40, 30, 0);
  const std::string headers = Header(0x1234, 1, 4, 0, 0xAABBCCDD) + Header(0x1234, 1, 0) + Header(0x1234, 1, 7);
  CKxr engine(Params(KxrProtocol::kSumUpRead, 2, 100, headers));
  std::string result;
  ASSERT_EQ(engine.SumUpReadPXO(result, 5), 0);
  EXPECT_EQ(result, std::string(30, 'a'));
  PxoStubRequest r{};
  ASSERT_EQ(lastRequest_(&r), 1);
  EXPECT_EQ(std::make_tuple(r.port, r.indexGroup, r.indexOffset, r.cbRead, r.hasAddr + r.hasReturned),
            std::make_tuple(5u, static_cast<uint64_t>(KxrProtocol::kPxoRead), 2u, 100u, 2));
  EXPECT_EQ(WriteData(), headers.substr(0, 24));  // group words go unchanged, lengths 0 too
  Reset();
  CKxr small(Params(KxrProtocol::kSumUpRead, 2, 15, headers));
  EXPECT_EQ(small.SumUpReadPXO(result, 5), KXRWEB_ERR_READBUF_TOO_SMALL);
  EXPECT_EQ(lastRequest_(&r), 0) << "a refused read makes no request";
}

TEST_F(PxoPath, WriteSendsHeadersAndDataAsOnePiece) {
  setAnswer_(Le32(0x11).data(), 4, 0, 0);  // the target fills only the first word
  const std::string buffer = Header(0x1234, 1, 1) + Header(0x1234, 1, 0) + Header(0x1234, 1, 1) + "ab" + "xyz";
  CKxr engine(Params(KxrProtocol::kSumUpWrite, 3, 12, buffer));
  std::string result;
  ASSERT_EQ(engine.SumUpWritePXO(result, 1), 0);
  EXPECT_EQ(result, Le32(0x11) + Le32(0) + Le32(0));
  PxoStubRequest r{};
  ASSERT_EQ(lastRequest_(&r), 1);
  EXPECT_EQ(std::make_tuple(r.indexGroup, r.cbRead, r.hasReturned),
            std::make_tuple(static_cast<uint64_t>(KxrProtocol::kPxoWrite), 12u, 0));
  EXPECT_EQ(WriteData(), buffer.substr(0, 38));  // bytes after the last block are not sent
}

TEST_F(PxoPath, FailedLibraryCallIsAFailure) {
  const std::pair<int64_t, int> rows[] = {
      {-5, -5}, {int64_t{KxrResult::ServiceRefused}, static_cast<int>(KxrResult::ServiceRefused)}, {7, KXRWEB_ERR_UNSPECIFIC}};
  for (const auto& [library, code] : rows) {
    setAnswer_("abcdefgh", 8, 8, library);
    CKxr read(Params(KxrProtocol::kSumUpRead, 1, 8, Header(0x1234, 1, 4)));
    CKxr write(Params(KxrProtocol::kSumUpWrite, 1, 4, Header(0x1234, 1, 1) + "a"));
    std::string result;
    EXPECT_EQ(read.SumUpReadPXO(result, 1), code) << library;
    EXPECT_EQ(write.SumUpWritePXO(result, 1), code) << library;
    EXPECT_TRUE(result.empty());
  }
  setAnswer_(nullptr, 0, 0, 0);  // a read of nothing is an empty result
  std::string result = "stale";
  EXPECT_EQ(CKxr(Params(KxrProtocol::kSumUpRead, 1, 8, Header(0x1234, 1, 4))).SumUpReadPXO(result, 1), 0);
  EXPECT_EQ(result, "");
}

}  // namespace
