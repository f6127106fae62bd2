// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
#include "AuditText.h"

#include <cstdio>

namespace KxrAccess {

namespace {

// The bytes of a value that an audit line shows at most: with the longest
// values shown, a line stays below the 1024 bytes that a plain syslog relay
// passes on whole.
constexpr std::size_t kShownBytes = 40;

}  // namespace

std::string Shown(std::string_view value) {
  if (value.empty()) return "\"\"";
  std::string shown;
  for (std::size_t i = 0; i < value.size() && i < kShownBytes; ++i) {
    const auto c = static_cast<unsigned char>(value[i]);
    if (c > ' ' && c < 0x7F && c != '\\' && c != '"') {
      shown += static_cast<char>(c);
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      shown += escaped;
    }
  }
  if (value.size() > kShownBytes) shown += "...";
  return shown;
}

std::string Shown(FieldValue field) {
  if (field.count == 0) return "-";
  if (field.count > 1) return "(x" + std::to_string(field.count) + ")";
  return Shown(field.value);
}

}  // namespace KxrAccess
