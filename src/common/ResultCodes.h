// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The result codes of ResultCodes.def as C++ names, their texts, and the
// rules for the codes that are not rows of the table.
#pragma once

#include <cstdint>

namespace KxrResult {

// Every code of the table, by its name there.
enum Code : uint32_t {
#define KXR_CODE(name, value, text) name = value##u,
#include "ResultCodes.def"
#undef KXR_CODE
};

// What a code outside the table is called, also in a fault.
inline constexpr char kUnknownText[] = "Unknown error";

// The device-profile client reports a failed system call as this base plus
// the low 16 bits of errno.
inline constexpr uint32_t kErrnoBase = 0xECA70000u;

// The automation path's code when the library gives no port; it has no text.
inline constexpr uint32_t kNoAutomationPort = 0xECAF0421u;

// The code of a failed system call.
constexpr uint32_t ErrnoCode(int error) { return kErrnoBase + (static_cast<uint32_t>(error) & 0xFFFFu); }

// Whether a code carries an errno (see ErrnoCode).
constexpr bool IsErrnoCode(uint32_t code) { return (code & 0xFFFF0000u) == kErrnoBase; }

// Whether a code is the web service's own (success included): only those
// have their text in a fault.
constexpr bool IsWebServiceCode(uint32_t code) {
  return code == Success || (code & 0xFFFF0000u) == (Unspecific & 0xFFFF0000u);
}

// The text of a code of the table; null for any other value.
constexpr const char* Text(uint32_t code) {
  switch (code) {
#define KXR_CODE(name, value, text) \
  case name:                        \
    return text;
#include "ResultCodes.def"
#undef KXR_CODE
    default:
      return nullptr;
  }
}

}  // namespace KxrResult
