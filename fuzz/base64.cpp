// Base64 on any bytes: decoding any text is safe, and decoding an encoding
// gives back the bytes encoded.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::string text = Base64::encode(bytes);
  if (text.size() != (size + 2) / 3 * 4 || Base64::decode(text) != bytes) {
    std::fprintf(stderr, "round trip failed for %zu bytes\n", size);
    std::abort();
  }
  const std::string decoded = Base64::decode(bytes);
  if (decoded.size() > size / 4 * 3 + 2) {
    std::fprintf(stderr, "decoding %zu characters gave %zu bytes\n", size, decoded.size());
    std::abort();
  }
  return 0;
}
