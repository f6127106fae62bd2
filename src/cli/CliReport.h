// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// What kxr-cli prints: the meaning of result codes and one line per entry.
#pragma once

#include <cstdint>
#include <string>

#include "CliArgs.h"
#include "CliCall.h"

namespace KxrCli {

// Short meaning of a result code: the service's own texts, the device-profile
// service's and its client's codes, or "Unknown error".
std::string CodeMeaning(uint32_t code);
// "0xECA60201 (-324664831)": a code in hex and as the signed decimal of a fault.
std::string CodeNumbers(uint32_t code);
// Bytes as text, '.' for every byte that is not printable ASCII.
std::string PrintableText(const std::string& bytes);
// One output line: the entry, its code and meaning, and for a read its data
// and its value when a TYPE was given.
std::string FormatEntryLine(bool write, const EntryArg& entry, const EntryResult& outcome);
// The message for a fault: its code in hex and decimal and its faultstring.
std::string FormatFault(int32_t code, const std::string& faultString);

}  // namespace KxrCli
