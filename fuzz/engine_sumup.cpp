// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The sum-up read and write on validated parameters with arbitrary buffers, against a fake client: the result
// buffers keep their layout and limits, a read never delivers more than asked, a refused write batch writes nothing.
#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <vector>

#include "FuzzCheck.h"
#include "KXRWeb.h"
#include "KxrApiBSD.h"
#include "Kxr.h"

using namespace KxrProtocol;

namespace {

struct Call { bool write; std::string data; uint32_t code; };  // one call of the fake client: bytes written or delivered
FuzzedDataProvider* gIn = nullptr;  // where the fake takes its answers from
std::vector<Call> gCalls;

// A status as the real client returns them: mostly success or "buffer too small".
uint32_t NextCode() {
  const uint32_t common[] = {0, KXR_ERR_BUFFER_TOO_SMALL, KXR_ERR_SHORT_ANSWER}, pick = gIn->ConsumeIntegralInRange<uint32_t>(0, 3);
  return pick < 3 ? common[pick] : gIn->ConsumeIntegral<uint32_t>();
}
// A service stalled or down (still refusing after its attempts): the rest of the batch is not sent.
bool Stalls(uint32_t code) {
  return code == KxrResult::ErrnoCode(ETIMEDOUT) || code == KxrResult::ErrnoCode(EAGAIN) || code == KxrResult::ServiceRefused;
}

}  // namespace

// The fake device-profile client, in place of the library's.
uint64_t KXROpen() { return 0; }
uint64_t KXRClose() { return 0; }

uint64_t KXRSyncRead(uint16_t, uint8_t, uint8_t, uint64_t cbRead, void* pRead, uint64_t* pcbRead) {
  Call call{false, "", NextCode()};
  // Now and then a count beyond what was asked, as a faulty client might report; never more bytes stored than fit.
  *pcbRead = gIn->ConsumeIntegralInRange<uint64_t>(0, gIn->ConsumeBool() ? cbRead : cbRead + 4);
  for (uint64_t i = 0; i < *pcbRead && i < cbRead; ++i) call.data.push_back(static_cast<char>(i * 31 + gCalls.size()));
  call.data.copy(static_cast<char*>(pRead), call.data.size());
  gCalls.push_back(call);
  return call.code;
}

uint64_t KXRSyncWrite(uint16_t, uint8_t, uint8_t, uint64_t cbWrite, const void* pWrite) {
  gCalls.push_back(Call{true, std::string(static_cast<const char*>(pWrite), cbWrite), NextCode()});
  return gCalls.back().code;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  _KXR_Parameters p;
  const bool write = in.ConsumeBool();
  const int count = in.ConsumeIntegralInRange<int>(1, in.ConsumeBool() ? 8 : kMaxSubRequests);
  const int rec = write ? kWriteRecordSize : kReadRecordSize;  // a word per write, a record per read
  p.indexGroup = write ? kSumUpWrite : kSumUpRead, p.indexOffset = count;
  p.cbRdLen = in.ConsumeIntegralInRange<int>(rec * count, in.ConsumeBool() ? rec * count + 256 : kMaxEntryLength);
  uint64_t dataBytes = 0;
  for (int i = 0; i < count; ++i) {  // the fake client ignores the entry's address
    const uint32_t length = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, 40) : in.ConsumeIntegral<uint32_t>();
    AppendHeader(p.pwrData, SubRequestHeader{0, static_cast<uint8_t>(i), 0, 0x2000, length});
    dataBytes += length;
  }
  // Write data: usually exactly what the headers announce, sometimes less or more.
  const uint64_t extra = !write ? 0 : in.ConsumeBool() && dataBytes <= 4096 ? dataBytes : in.ConsumeIntegralInRange<uint64_t>(0, 512);
  for (uint64_t i = 0; i < extra; ++i) p.pwrData.push_back(static_cast<char>(i * 7));
  const std::string pwrData = p.pwrData;
  CKxr engine(p);
  if (engine.ValidateParameters() != 0) return 0;  // only validated parameters are of interest
  std::string result = "stale";
  gCalls.clear(), gIn = &in;
  const int rc = engine.Execute(result);
  for (const auto& c : gCalls) Check(c.write == write, "a batch only reads or only writes");
  if (rc < 0) return Check(!write || gCalls.empty(), "a refused write batch writes nothing"), 0;

  Check(result.size() <= static_cast<size_t>(p.cbRdLen) && result.size() >= size_t(rec) * count &&
            (!write || result.size() == size_t(rec) * count), "the result fits, one word or record per sub-request");
  size_t at = size_t(rec) * count, offset = 12u * count, call = 0;  // read data after all records; write blocks
  for (uint32_t i = 0, stalled = 0; i < static_cast<uint32_t>(count); ++i) {
    const uint32_t code = GetLe32(result, rec * i), length = GetLe32(pwrData, 12u * i + 8);
    const uint32_t delivered = write ? 0 : GetLe32(result, 8u * i + 4);
    const size_t block = offset;
    offset += write ? length : 0;
    Check(delivered <= length, "a record never claims more than its sub-request asked");
    if (!write && (length == 0 || length > static_cast<uint32_t>(kMaxEntryLength))) {
      Check(delivered == 0, "a refused sub-request delivers nothing");
    } else if (stalled != 0) {
      Check(code == stalled && delivered == 0, "after a stall every sub-request gets the stall's code");
    } else {
      Check(call < gCalls.size() && code == gCalls[call].code, "each word or record carries the client's result");
      const Call& c = gCalls[call++];
      if (write)
        Check(length > 0 && c.data.size() == length && pwrData.compare(block, length, c.data) == 0, "each write carries its own block");
      else
        Check(result.compare(at, delivered, c.data, 0, delivered) == 0, "the data follow in order");
      if (Stalls(c.code)) stalled = code;
      at += delivered;
    }
  }
  Check(call == gCalls.size(), "nothing is sent after a stall or beyond the batch");
  Check(write ? offset <= pwrData.size() : at == result.size(), "write blocks inside the buffer; read data as delivered");
  return 0;
}
