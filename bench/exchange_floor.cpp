// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Times bare exchanges with the device-profile service through the client:
// COUNT reads of one entry in a loop, one connection per read as the daemon
// makes them. Prints "exchanges N seconds S per_exchange_us U rate R".
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "KxrApiBSD.h"

namespace {

// Parses a positive count; 0 when the text is not one.
long ParseCount(const char* text) {
  char* end = nullptr;
  const long n = std::strtol(text, &end, 10);
  return (end != text && *end == '\0' && n > 0) ? n : 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  // The entry and length the bench's SOAP calls read: object 0x1018, sub-index 1, 4 bytes.
  const long count = argc >= 2 ? ParseCount(argv[1]) : 0;
  if (argc < 2 || argc > 5 || count == 0) {
    std::fprintf(stderr, "usage: %s COUNT [INDEX_HEX SUBINDEX LENGTH]\n", argv[0]);
    return 2;
  }
  const auto index = static_cast<uint16_t>(argc >= 3 ? std::strtoul(argv[2], nullptr, 16) : 0x1018);
  const auto subIndex = static_cast<uint8_t>(argc >= 4 ? std::strtoul(argv[3], nullptr, 10) : 1);
  const uint64_t length = argc >= 5 ? std::strtoull(argv[4], nullptr, 10) : 4;
  if (length == 0 || length > 65536) {
    std::fprintf(stderr, "length must be 1 to 65536\n");
    return 2;
  }
  if (KXROpen() != 0) {
    std::fprintf(stderr, "the service's socket is not there\n");
    return 1;
  }
  unsigned char buffer[65536];
  const auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < count; ++i) {
    uint64_t got = 0;
    const uint64_t rc = KXRSyncRead(index, subIndex, 0, length, buffer, &got);
    if (rc != 0 || got != length) {
      std::fprintf(stderr, "exchange %ld failed: 0x%llx, %llu bytes\n", i, static_cast<unsigned long long>(rc),
                   static_cast<unsigned long long>(got));
      return 1;
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("exchanges %ld seconds %.6f per_exchange_us %.2f rate %.1f\n", count, seconds,
              seconds * 1e6 / static_cast<double>(count), static_cast<double>(count) / seconds);
  return 0;
}
