// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The service's result codes with their texts, and the service's version.
#include "KXRWeb.h"

#include <cstdint>

std::string CKXRWeb::KXRWebErrCodeToErrMsg(int code) {
  const auto bits = static_cast<uint32_t>(code);
  const char* text = KxrResult::IsWebServiceCode(bits) ? KxrResult::Text(bits) : nullptr;
  return text != nullptr ? text : KxrResult::kUnknownText;
}

std::string CKXRWeb::GetVersion() { return "v1.1.0.5"; }
