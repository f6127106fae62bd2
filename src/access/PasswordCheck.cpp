// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
#include "PasswordCheck.h"

#if defined(__linux__)
#include <crypt.h>
#else
#include <unistd.h>
#endif

#include <cstring>

namespace KxrAccess {

namespace {

// Whether a and b are equal, looking at every byte of the longer one.
bool SameBytes(std::string_view a, std::string_view b) {
  const std::size_t n = a.size() > b.size() ? a.size() : b.size();
  unsigned diff = a.size() == b.size() ? 0U : 1U;
  for (std::size_t i = 0; i < n; ++i) {
    const auto x = static_cast<unsigned char>(i < a.size() ? a[i] : 0);
    const auto y = static_cast<unsigned char>(i < b.size() ? b[i] : 0);
    diff |= static_cast<unsigned>(x ^ y);
  }
  return diff == 0;
}

}  // namespace

bool PasswordMatches(std::string_view password, const std::string& hash) {
  // crypt_r takes C strings: a password with a zero byte is none we made.
  if (password.find('\0') != std::string_view::npos || hash.empty()) return false;
  // About 32 KiB of state: kept for the daemon's life rather than on its
  // stack. The daemon checks on one thread only.
  static crypt_data data;
  std::memset(&data, 0, sizeof data);
  const std::string text(password);
  const char* out = ::crypt_r(text.c_str(), hash.c_str(), &data);
  // A failure is NULL on some systems and a text that starts with '*' on others.
  if (out == nullptr || out[0] == '*') return false;
  return SameBytes(out, hash);
}

}  // namespace KxrAccess
