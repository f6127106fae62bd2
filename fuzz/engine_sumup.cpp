// The sum-up read and write on validated parameters with arbitrary buffers,
// against a fake client: the result buffers keep their layout and limits, a
// read never delivers more than the caller accepts, and a write batch that is
// refused writes nothing.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "KXRWeb.h"
#include "Kxr.h"
#include "fake_client.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
  }
}

uint32_t U32(const std::string& s, size_t at) {
  uint32_t v;
  std::memcpy(&v, s.data() + at, 4);
  return v;
}

void AppendU32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const bool write = in.ConsumeBool();
  const int count = in.ConsumeBool() ? in.ConsumeIntegralInRange<int>(1, 8) : in.ConsumeIntegralInRange<int>(1, 300);
  _KXR_Parameters p;
  p.indexGroup = write ? KxrProtocol::kSumUpWrite : KxrProtocol::kSumUpRead;
  p.indexOffset = count;
  const int minimum = (write ? KxrProtocol::kWriteRecordSize : KxrProtocol::kReadRecordSize) * count;
  p.cbRdLen = in.ConsumeBool() ? minimum + in.ConsumeIntegralInRange<int>(0, 256)
                               : in.ConsumeIntegralInRange<int>(minimum, KxrProtocol::kMaxEntryLength);
  uint64_t dataBytes = 0;
  for (int i = 0; i < count; ++i) {
    AppendU32(p.pwrData, in.ConsumeIntegral<uint32_t>());
    p.pwrData.push_back(static_cast<char>(in.ConsumeIntegral<uint8_t>()));
    p.pwrData.push_back(static_cast<char>(in.ConsumeIntegral<uint8_t>()));
    const uint16_t index = in.ConsumeIntegral<uint16_t>();
    p.pwrData.push_back(static_cast<char>(index & 0xFF));
    p.pwrData.push_back(static_cast<char>(index >> 8));
    const uint32_t length = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, 40) : in.ConsumeIntegral<uint32_t>();
    AppendU32(p.pwrData, length);
    dataBytes += length;
  }
  if (write) {
    // Write data: usually exactly what the headers announce, sometimes less or more.
    uint64_t extra = in.ConsumeBool() ? dataBytes : in.ConsumeIntegralInRange<uint64_t>(0, 512);
    if (extra > 4096) extra = in.ConsumeIntegralInRange<uint64_t>(0, 512);
    for (uint64_t i = 0; i < extra; ++i) p.pwrData.push_back(static_cast<char>(i * 7));
  }
  const std::string pwrData = p.pwrData;
  const int cbRdLen = p.cbRdLen;

  fakeclient::gCalls.clear();
  fakeclient::gAnswers = &in;
  CKxr engine(p);
  if (engine.ValidateParameters() != 0) return 0;  // only validated parameters are of interest
  std::string result = "stale";
  const int rc = engine.Execute(result);
  fakeclient::gAnswers = nullptr;
  const auto& calls = fakeclient::gCalls;

  if (write) {
    for (const auto& c : calls) Check(c.write, "a write batch only writes");
    if (rc < 0) {
      Check(calls.empty(), "a refused write batch writes nothing");
      return 0;
    }
    Check(calls.size() == static_cast<size_t>(count), "a write batch writes every sub-request");
    Check(result.size() == 4u * count, "a write result is one word per sub-request");
    Check(static_cast<int>(result.size()) <= cbRdLen, "a write result fits cbRdLen");
    size_t offset = 12u * count;
    for (int i = 0; i < count; ++i) {
      Check(U32(result, 4u * i) == calls[i].code, "each word is the client's result");
      Check(calls[i].length > 0, "no sub-request is written without data");
      Check(pwrData.compare(offset, calls[i].length, calls[i].data) == 0, "each write carries its own block");
      offset += calls[i].length;
    }
    Check(offset <= pwrData.size(), "the blocks lie inside the write buffer");
    return 0;
  }

  for (const auto& c : calls) Check(!c.write, "a read batch never writes");
  if (rc < 0) return 0;
  Check(static_cast<int>(result.size()) <= cbRdLen, "a read result fits cbRdLen");
  Check(result.size() >= 8u * count, "a read result has a record per sub-request");
  size_t at = 8u * count;
  size_t call = 0;
  for (int i = 0; i < count; ++i) {
    const uint32_t delivered = U32(result, 8u * i + 4);
    const uint32_t length = U32(pwrData, 12u * i + 8);
    Check(delivered <= length, "a record never claims more than its sub-request asked");
    if (length == 0 || length > static_cast<uint32_t>(KxrProtocol::kMaxEntryLength)) {
      Check(delivered == 0, "a refused sub-request delivers nothing");
      continue;
    }
    Check(call < calls.size(), "each accepted sub-request is read");
    Check(U32(result, 8u * i) == calls[call].code, "each record carries the client's result");
    Check(result.compare(at, delivered, calls[call].data, 0, delivered) == 0, "the data follow in order");
    at += delivered;
    ++call;
  }
  Check(at == result.size(), "the data are exactly the delivered bytes");
  return 0;
}
