// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The device-profile client against a fake service that answers the fuzz input byte for byte: the client stays
// inside the caller's buffers, reports no more than it received and always returns.
#include <cstring>
#include <vector>

#include "FuzzCheck.h"
#include "FakeService.h"
#include "KxrApiBSD.h"

namespace {

std::mutex gMutex;
std::string gAnswer;  // the raw answer of the current input

void StartService() {  // once
  static auto* service = new KxrTest::FakeService([](const std::string&) {
    std::lock_guard<std::mutex> hold(gMutex);
    return gAnswer;
  });
  Check(service->Listening(), "the fake service listens");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  StartService();
  const unsigned op = data[0] % 7;
  const uint64_t n = 1 + (static_cast<uint64_t>(data[1]) | static_cast<uint64_t>(data[2]) << 8) % 2048;
  std::lock_guard<std::mutex>{gMutex}, gAnswer.assign(reinterpret_cast<const char*>(data) + 3, size - 3);  // locked to the ;
  // Buffers of exactly the size given, so that AddressSanitizer sees any overrun.
  std::vector<unsigned char> buffer(static_cast<size_t>(n)), desc(static_cast<size_t>(64 + n));
  const std::vector<unsigned char> pattern(static_cast<size_t>(n), 0x5A);
  uint64_t got = 12345, cb = n, rc = 0, cbDesc = 64 + n;
  uint8_t v1 = 0, v3 = 0;
  uint16_t v2 = 0;
  unsigned char head[18] = {};
  switch (op) {
    case 0:
      rc = KXRSyncRead(1, 2, 0, n, buffer.data(), &got);
      Check(got <= n && (got == 0 || rc == 0 || rc == KXR_ERR_BUFFER_TOO_SMALL),
            "a read delivers at most what was asked, a failed one nothing");
      break;
    case 1: KXRSyncWrite(1, 2, 0, n, pattern.data()); break;
    case 2:
      KXRSyncReadWrite(1, 2, 0, n, pattern.data(), n, buffer.data(), &got);
      Check(got <= n, "a read-write delivers at most what was asked");
      break;
    case 3: Check(KXRSyncGetODList(0, &cb, buffer.data()) != 0 || cb <= n, "a list is at most its capacity"); break;
    case 4:  // the name into buffer: exactly n bytes
      rc = KXRSyncGetObjectDescription(1, 0, &v1, &v2, &v3, reinterpret_cast<char*>(buffer.data()), &cb);
      Check(rc == KXR_ERR_BUFFER_TOO_SMALL || cb <= n, "a name is at most its capacity");
      break;
    case 5:
      std::memcpy(desc.data(), &cbDesc, sizeof cbDesc);
      KXRSyncGetEntryDescription(1, 2, 0, desc.data());
      break;
    default: KXRIoControl(head, sizeof head, nullptr, 0, &got);
  }
  return 0;
}
