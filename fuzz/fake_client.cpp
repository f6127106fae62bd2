// Fake device-profile client: every entry access answers from the fuzz input.
#include "fake_client.h"

#include <algorithm>
#include <cstring>

#include "KxrApiBSD.h"

namespace fakeclient {
FuzzedDataProvider* gAnswers = nullptr;
std::vector<Call> gCalls;
}  // namespace fakeclient

using fakeclient::gAnswers;
using fakeclient::gCalls;

namespace {

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

}  // namespace

uint64_t KXROpen() { return 0; }
uint64_t KXRClose() { return 0; }

uint64_t KXRSyncRead(uint16_t index, uint8_t subIndex, uint8_t, uint64_t cbRead, void* pRead, uint64_t* pcbRead) {
  fakeclient::Call call;
  call.index = index;
  call.subIndex = subIndex;
  call.length = cbRead;
  call.code = NextCode();
  // Usually at most what was asked for; now and then a count beyond it, as a
  // faulty client might report, though never more bytes stored than fit.
  uint64_t n = 0;
  if (gAnswers != nullptr && gAnswers->remaining_bytes() > 0)
    n = gAnswers->ConsumeBool() ? gAnswers->ConsumeIntegralInRange<uint64_t>(0, cbRead)
                                : gAnswers->ConsumeIntegralInRange<uint64_t>(0, cbRead + 4);
  const uint64_t stored = std::min(n, cbRead);
  for (uint64_t i = 0; i < stored; ++i) static_cast<unsigned char*>(pRead)[i] = static_cast<unsigned char>(i * 31 + index);
  call.data.assign(static_cast<const char*>(pRead), static_cast<size_t>(stored));
  call.delivered = n;
  *pcbRead = n;
  gCalls.push_back(call);
  return call.code;
}

uint64_t KXRSyncWrite(uint16_t index, uint8_t subIndex, uint8_t, uint64_t cbWrite, const void* pWrite) {
  fakeclient::Call call;
  call.write = true;
  call.index = index;
  call.subIndex = subIndex;
  call.length = cbWrite;
  call.data.assign(static_cast<const char*>(pWrite), static_cast<size_t>(cbWrite));
  call.code = NextCode();
  gCalls.push_back(call);
  return call.code;
}

// Not used by the engine; present so that nothing reaches a real service.
uint64_t KXRIoControl(void*, uint64_t, void*, uint64_t, uint64_t*) { return KXR_ERR_NO_SERVICE; }
uint64_t KXRSyncReadWrite(uint16_t, uint8_t, uint8_t, uint64_t, const void*, uint64_t, void*, uint64_t*) {
  return KXR_ERR_NO_SERVICE;
}
