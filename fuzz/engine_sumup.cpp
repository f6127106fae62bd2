// The sum-up read and write on validated parameters with arbitrary buffers, against a fake client: the result
// buffers keep their layout and limits, a read never delivers more than asked, a refused write batch writes nothing.
#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "FuzzCheck.h"
#include "KXRWeb.h"
#include "KxrApiBSD.h"
#include "Kxr.h"
#include "Protocol.h"
#include "ResultCodes.h"

namespace {

uint32_t U32(const std::string& s, size_t at) { return KxrProtocol::GetLe32(s, at); }

// A service stalled or down (still refusing after its attempts): the rest of the batch is not sent.
bool Stalls(uint32_t code) {
  return code == KxrResult::ErrnoCode(ETIMEDOUT) || code == KxrResult::ErrnoCode(EAGAIN) ||
         code == KxrResult::ServiceRefused;
}

struct Call {  // one call of the fake client below: bytes wanted or written, written or delivered, its result
  bool write;
  uint64_t length;
  std::string data;
  uint32_t code;
};
FuzzedDataProvider* gAnswers = nullptr;  // where the fake takes its answers from
std::vector<Call> gCalls;

// A status as the real client returns them: mostly success or "buffer too small".
uint32_t NextCode() {
  if (gAnswers == nullptr || gAnswers->remaining_bytes() == 0) return 0;
  const uint32_t common[] = {0, static_cast<uint32_t>(KXR_ERR_BUFFER_TOO_SMALL), static_cast<uint32_t>(KXR_ERR_SHORT_ANSWER)};
  const int pick = gAnswers->ConsumeIntegralInRange<int>(0, 3);
  return pick < 3 ? common[pick] : gAnswers->ConsumeIntegral<uint32_t>();
}

}  // namespace

// The fake device-profile client, in place of the library's.
uint64_t KXROpen() { return 0; }
uint64_t KXRClose() { return 0; }

uint64_t KXRSyncRead(uint16_t index, uint8_t, uint8_t, uint64_t cbRead, void* pRead, uint64_t* pcbRead) {
  Call call{false, cbRead, "", NextCode()};
  // Now and then a count beyond what was asked, as a faulty client might report; never more bytes stored than fit.
  uint64_t n = 0;
  if (gAnswers != nullptr && gAnswers->remaining_bytes() > 0)
    n = gAnswers->ConsumeIntegralInRange<uint64_t>(0, gAnswers->ConsumeBool() ? cbRead : cbRead + 4);
  for (uint64_t i = 0; i < n && i < cbRead; ++i) call.data.push_back(static_cast<char>(i * 31 + index));
  std::memcpy(pRead, call.data.data(), call.data.size());
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
  p.indexGroup = write ? KxrProtocol::kSumUpWrite : KxrProtocol::kSumUpRead, p.indexOffset = count;
  const int minimum = (write ? KxrProtocol::kWriteRecordSize : KxrProtocol::kReadRecordSize) * count;
  p.cbRdLen = in.ConsumeBool() ? minimum + in.ConsumeIntegralInRange<int>(0, 256)
                               : in.ConsumeIntegralInRange<int>(minimum, KxrProtocol::kMaxEntryLength);
  uint64_t dataBytes = 0;
  for (int i = 0; i < count; ++i) {
    KxrProtocol::SubRequestHeader h;  // one field per statement: the order of consumption
    h.group = in.ConsumeIntegral<uint32_t>(), h.subIndex = in.ConsumeIntegral<uint8_t>();
    h.flags = in.ConsumeIntegral<uint8_t>(), h.index = in.ConsumeIntegral<uint16_t>();
    h.length = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, 40) : in.ConsumeIntegral<uint32_t>();
    KxrProtocol::AppendHeader(p.pwrData, h);
    dataBytes += h.length;
  }
  if (write) {
    // Write data: usually exactly what the headers announce, sometimes less or more.
    uint64_t extra = in.ConsumeBool() ? dataBytes : in.ConsumeIntegralInRange<uint64_t>(0, 512);
    if (extra > 4096) extra = in.ConsumeIntegralInRange<uint64_t>(0, 512);
    for (uint64_t i = 0; i < extra; ++i) p.pwrData.push_back(static_cast<char>(i * 7));
  }
  const std::string pwrData = p.pwrData;
  const int cbRdLen = p.cbRdLen;
  gCalls.clear(), gAnswers = &in;
  CKxr engine(p);
  if (engine.ValidateParameters() != 0) return 0;  // only validated parameters are of interest
  std::string result = "stale";
  const int rc = engine.Execute(result);
  gAnswers = nullptr;
  for (const auto& c : gCalls) Check(c.write == write, "a batch only reads or only writes");

  if (rc < 0) return Check(!write || gCalls.empty(), "a refused write batch writes nothing"), 0;
  const size_t rec = write ? 4 : 8;  // a word per write, a record per read (its data after all records)
  Check(static_cast<int>(result.size()) <= cbRdLen && result.size() >= rec * count && (!write || result.size() == rec * count),
        "the result fits, one word or record per sub-request");
  size_t at = rec * count, offset = 12u * count, call = 0;
  for (uint32_t i = 0, stalled = 0; i < static_cast<uint32_t>(count); ++i) {
    const uint32_t code = U32(result, rec * i), length = U32(pwrData, 12u * i + 8);
    const uint32_t delivered = write ? 0 : U32(result, 8u * i + 4);
    const size_t block = offset;
    offset += write ? length : 0;
    Check(delivered <= length, "a record never claims more than its sub-request asked");
    if (!write && (length == 0 || length > static_cast<uint32_t>(KxrProtocol::kMaxEntryLength))) {
      Check(delivered == 0, "a refused sub-request delivers nothing");
      continue;
    }
    if (stalled != 0) {
      Check(code == stalled && delivered == 0, "after a stall every sub-request gets the stall's code");
      continue;
    }
    Check(call < gCalls.size() && code == gCalls[call].code, "each word or record carries the client's result");
    const Call& c = gCalls[call++];
    if (write) Check(c.length > 0 && pwrData.compare(block, c.length, c.data) == 0, "each write carries its own block");
    else Check(result.compare(at, delivered, c.data, 0, delivered) == 0, "the data follow in order");
    if (Stalls(c.code)) stalled = code;
    at += delivered;
  }
  Check(call == gCalls.size(), "nothing is sent after a stall or beyond the batch");
  Check(write ? offset <= pwrData.size() : at == result.size(), "write blocks inside the buffer; read data as delivered");
  return 0;
}
