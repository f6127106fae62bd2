// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Base64 of the write buffer and of the result buffer.
#include "Base64.h"

#include <array>

namespace Base64 {
namespace {

// The 64 digits in the order of their values, then '=' as value 64: decoding
// gives '=' a value so that one in the first or second place of a group
// contributes no bits instead of failing the text.
constexpr char kCvt[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
constexpr int kPad = 64;      // value of '=', the last character of kCvt
constexpr int kInvalid = -1;  // marks a byte outside kCvt

// Value of each byte in kCvt, kInvalid for every byte outside it.
constexpr std::array<int, 256> MakeValues() {
  std::array<int, 256> values{};
  for (int& v : values) v = kInvalid;
  for (int i = 0; i <= kPad; ++i) values[static_cast<unsigned char>(kCvt[i])] = i;
  return values;
}
constexpr std::array<int, 256> kValues = MakeValues();

// The byte value of a character; bytes above 127 are ordinary input.
int ValueOf(char c) { return kValues[static_cast<unsigned char>(c)]; }

}  // namespace

std::string encode(std::string bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const unsigned n = static_cast<unsigned char>(bytes[i]) << 16 |
                       static_cast<unsigned char>(bytes[i + 1]) << 8 |
                       static_cast<unsigned char>(bytes[i + 2]);
    text += kCvt[n >> 18 & 63];
    text += kCvt[n >> 12 & 63];
    text += kCvt[n >> 6 & 63];
    text += kCvt[n & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    unsigned n = static_cast<unsigned char>(bytes[i]) << 16;
    if (rest == 2) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    text += kCvt[n >> 18 & 63];
    text += kCvt[n >> 12 & 63];
    text += rest == 2 ? kCvt[n >> 6 & 63] : '=';
    text += '=';
  }
  return text;
}

std::string decode(std::string text) {
  for (char c : text) {
    if (ValueOf(c) == kInvalid) return std::string();
  }
  std::string bytes;
  bytes.reserve(text.size() / 4 * 3 + 2);
  // A last group of a single character carries only six bits, not a byte:
  // it yields nothing.
  for (std::size_t g = 0; g + 2 <= text.size(); g += 4) {
    const int c1 = ValueOf(text[g]);
    const int c2 = ValueOf(text[g + 1]);
    bytes += static_cast<char>((c1 * 4 + (c2 / 16) % 4) % 256);
    if (g + 2 >= text.size() || text[g + 2] == '=') break;
    const int c3 = ValueOf(text[g + 2]);
    bytes += static_cast<char>((c2 * 16 + c3 / 4) % 256);
    if (g + 3 >= text.size() || text[g + 3] == '=') break;
    const int c4 = ValueOf(text[g + 3]);
    bytes += static_cast<char>((c3 * 64 + c4) % 256);
  }
  return bytes;
}

}  // namespace Base64
