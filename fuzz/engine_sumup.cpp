// The sum-up read and write on validated parameters with arbitrary buffers,
// against a fake client: the result buffers keep their layout and limits, a
// read never delivers more than the caller accepts, and a write batch that is
// refused writes nothing.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include <vector>

#include "KXRWeb.h"
#include "KxrApiBSD.h"
#include "Kxr.h"

namespace {

// One call the engine made of the fake client below.
struct Call {
  bool write = false;  // KXRSyncWrite, else KXRSyncRead
  uint64_t length = 0;  // bytes wanted or written
  std::string data;     // bytes written, or bytes the fake delivered
  uint32_t code = 0;    // result the fake returned
};
FuzzedDataProvider* gAnswers = nullptr;  // where the fake takes its answers from
std::vector<Call> gCalls;                // every call of the current run

// A status as the real client returns them: mostly success or "buffer too small".
uint32_t NextCode() {
  if (gAnswers == nullptr || gAnswers->remaining_bytes() == 0) return 0;
  switch (gAnswers->ConsumeIntegralInRange<int>(0, 3)) {
    case 0: return 0;
    case 1: return static_cast<uint32_t>(KXR_ERR_BUFFER_TOO_SMALL);
    case 2: return static_cast<uint32_t>(KXR_ERR_SHORT_ANSWER);
    default: return gAnswers->ConsumeIntegral<uint32_t>();
  }
}

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

// The fake device-profile client, in place of the library's: every entry
// access answers from the fuzz input.
uint64_t KXROpen() { return 0; }
uint64_t KXRClose() { return 0; }

uint64_t KXRSyncRead(uint16_t index, uint8_t, uint8_t, uint64_t cbRead, void* pRead, uint64_t* pcbRead) {
  Call call{false, cbRead, "", NextCode()};
  // Usually at most what was asked for; now and then a count beyond it, as a
  // faulty client might report, though never more bytes stored than fit.
  uint64_t n = 0;
  if (gAnswers != nullptr && gAnswers->remaining_bytes() > 0)
    n = gAnswers->ConsumeIntegralInRange<uint64_t>(0, gAnswers->ConsumeBool() ? cbRead : cbRead + 4);
  for (uint64_t i = 0; i < n && i < cbRead; ++i) static_cast<unsigned char*>(pRead)[i] = static_cast<unsigned char>(i * 31 + index);
  call.data.assign(static_cast<const char*>(pRead), static_cast<size_t>(n < cbRead ? n : cbRead));
  *pcbRead = n;
  gCalls.push_back(call);
  return call.code;
}

uint64_t KXRSyncWrite(uint16_t, uint8_t, uint8_t, uint64_t cbWrite, const void* pWrite) {
  gCalls.push_back(Call{true, cbWrite, std::string(static_cast<const char*>(pWrite), cbWrite), NextCode()});
  return gCalls.back().code;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const bool write = in.ConsumeBool();
  const int count = in.ConsumeBool() ? in.ConsumeIntegralInRange<int>(1, 8) : in.ConsumeIntegralInRange<int>(1, 300);
  _KXR_Parameters p;
  p.indexGroup = write ? KXR_IG_SUMUP_WRITE : KXR_IG_SUMUP_READ;
  p.indexOffset = count;
  const int minimum = (write ? KXR_WRITE_RECORD_SIZE : KXR_READ_RECORD_SIZE) * count;
  p.cbRdLen = in.ConsumeBool() ? minimum + in.ConsumeIntegralInRange<int>(0, 256)
                               : in.ConsumeIntegralInRange<int>(minimum, KXR_MAX_READ_LEN);
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

  gCalls.clear();
  gAnswers = &in;
  CKxr engine(p);
  if (engine.ValidateParameters() != 0) return 0;  // only validated parameters are of interest
  std::string result = "stale";
  const int rc = engine.Execute(result);
  gAnswers = nullptr;
  const auto& calls = gCalls;

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
    if (length == 0 || length > static_cast<uint32_t>(KXR_MAX_READ_LEN)) {
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
