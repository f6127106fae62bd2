// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Base64 of the write buffer (pwrData) and of the result (ppRdData).
#pragma once

#include <string>

namespace Base64 {

// RFC 4648 encoding with '=' padding and no line breaks.
std::string encode(std::string bytes);
// Decoding; the empty string for a text with a character outside the alphabet.
std::string decode(std::string text);

}  // namespace Base64
