// The automation path, called directly against the stand-in library (found
// through LD_LIBRARY_PATH): exactly what one request carries, and what the
// engine makes of the answer.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "KXRWeb.h"
#include "Kxr.h"
#include "PxoStubControl.h"
#include "Settings.h"

namespace {

std::string Le32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
  return s;
}

std::string Header(uint32_t length, uint32_t group = 0) {
  return Le32(group) + std::string("\x01\x00\x34\x12", 4) + Le32(length);
}

// The stand-in's control functions, from the same copy the engine opens.
class PxoPath : public ::testing::Test {
 protected:
  void SetUp() override {
    lib_ = dlopen(KxrSettings::kPxoLibrary, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib_, nullptr) << "stand-in library not on LD_LIBRARY_PATH";
    reset_ = reinterpret_cast<PPxoStubReset>(dlsym(lib_, "PxoStubReset"));
    setAnswer_ = reinterpret_cast<PPxoStubSetAnswer>(dlsym(lib_, "PxoStubSetAnswer"));
    lastRequest_ = reinterpret_cast<PPxoStubLastRequest>(dlsym(lib_, "PxoStubLastRequest"));
    lastWrite_ = reinterpret_cast<PPxoStubLastWriteData>(dlsym(lib_, "PxoStubLastWriteData"));
    ASSERT_TRUE(reset_ && setAnswer_ && lastRequest_ && lastWrite_);
    reset_();
  }
  void TearDown() override {
    if (lib_) dlclose(lib_);
  }
  static _KXR_Parameters Params(int group, int count, int cbRdLen, std::string pwrData) {
    _KXR_Parameters p;
    p.indexGroup = group;
    p.indexOffset = count;
    p.cbRdLen = cbRdLen;
    p.pwrData = std::move(pwrData);
    return p;
  }
  std::string WriteData() {
    std::string data(lastWrite_(nullptr, 0), '\0');
    lastWrite_(&data[0], data.size());
    return data;
  }

  void* lib_ = nullptr;
  PPxoStubReset reset_ = nullptr;
  PPxoStubSetAnswer setAnswer_ = nullptr;
  PPxoStubLastRequest lastRequest_ = nullptr;
  PPxoStubLastWriteData lastWrite_ = nullptr;
};

TEST_F(PxoPath, ReadSendsTheHeadersInOneRequest) {
  const std::string answer(40, 'a');
  setAnswer_(answer.data(), answer.size(), 30, 0);
  const std::string headers = Header(4, 0xAABBCCDD) + Header(0) + Header(7);  // third header beyond the count
  CKxr engine(Params(KxrProtocol::kSumUpRead, 2, 100, headers));
  std::string result;
  ASSERT_EQ(engine.SumUpReadPXO(result, 5), 0);
  EXPECT_EQ(result, std::string(30, 'a'));
  PxoStubRequest r{};
  ASSERT_EQ(lastRequest_(&r), 1);
  EXPECT_EQ(r.port, 5u);
  EXPECT_EQ(r.indexGroup, 0xF304u);
  EXPECT_EQ(r.indexOffset, 2u);
  EXPECT_EQ(r.cbRead, 100u);
  EXPECT_EQ(r.cbWrite, 24u);
  EXPECT_EQ(r.hasAddr, 1);
  EXPECT_EQ(r.hasReturned, 1);
  EXPECT_EQ(WriteData(), headers.substr(0, 24));  // group words go unchanged, lengths 0 too
}

TEST_F(PxoPath, WriteSendsHeadersAndDataAsOnePiece) {
  const std::string answer = Le32(0x11);  // the target fills only the first word
  setAnswer_(answer.data(), answer.size(), 0, 0);
  const std::string buffer = Header(1) + Header(0) + Header(1) + "ab" + "xyz";  // a length of 0 is sent too
  CKxr engine(Params(KxrProtocol::kSumUpWrite, 3, 12, buffer));
  std::string result;
  ASSERT_EQ(engine.SumUpWritePXO(result, 1), 0);
  EXPECT_EQ(result, Le32(0x11) + Le32(0) + Le32(0));
  PxoStubRequest r{};
  ASSERT_EQ(lastRequest_(&r), 1);
  EXPECT_EQ(r.indexGroup, 0xF305u);
  EXPECT_EQ(r.indexOffset, 3u);
  EXPECT_EQ(r.cbRead, 12u);
  EXPECT_EQ(r.cbWrite, 38u);
  EXPECT_EQ(r.hasReturned, 0);
  EXPECT_EQ(WriteData(), buffer.substr(0, 38));  // bytes after the last block are not sent
}

TEST_F(PxoPath, RefusalsMakeNoRequest) {
  CKxr read(Params(KxrProtocol::kSumUpRead, 2, 15, Header(1) + Header(1)));
  CKxr write(Params(KxrProtocol::kSumUpWrite, 2, 8, Header(2) + Header(1) + "ab"));
  std::string result;
  EXPECT_EQ(read.SumUpReadPXO(result, 1), KXRWEB_ERR_READBUF_TOO_SMALL);
  EXPECT_EQ(write.SumUpWritePXO(result, 1), KXRWEB_ERR_INVALID_SOAP);
  PxoStubRequest r{};
  EXPECT_EQ(lastRequest_(&r), 0);
  EXPECT_TRUE(result.empty());
}

TEST_F(PxoPath, FailedLibraryCallIsAFailure) {
  struct Row {
    int64_t library;
    int code;
  } rows[] = {{-5, -5}, {static_cast<int64_t>(0xECA60200u), static_cast<int>(0xECA60200u)}, {7, KXRWEB_ERR_UNSPECIFIC}};
  for (const Row& row : rows) {
    setAnswer_("abcdefgh", 8, 8, row.library);
    CKxr read(Params(KxrProtocol::kSumUpRead, 1, 8, Header(4)));
    CKxr write(Params(KxrProtocol::kSumUpWrite, 1, 4, Header(1) + "a"));
    std::string result;
    EXPECT_EQ(read.SumUpReadPXO(result, 1), row.code) << row.library;
    EXPECT_EQ(write.SumUpWritePXO(result, 1), row.code) << row.library;
    EXPECT_TRUE(result.empty());
  }
}

TEST_F(PxoPath, ReadOfNothingIsAnEmptyResult) {
  setAnswer_(nullptr, 0, 0, 0);
  CKxr engine(Params(KxrProtocol::kSumUpRead, 1, 8, Header(4)));
  std::string result = "stale";
  ASSERT_EQ(engine.SumUpReadPXO(result, 1), 0);
  EXPECT_EQ(result, "");
}

}  // namespace
