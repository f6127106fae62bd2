// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Texts of kxr-cli's output.
#include "CliReport.h"

#include <cstdio>
#include <cstring>

#include "CliValue.h"
#include "ResultCodes.h"

namespace KxrCli {

std::string CodeMeaning(uint32_t code) {
  if (const char* text = KxrResult::Text(code)) return text;
  if (KxrResult::IsErrnoCode(code)) {
    const int error = static_cast<int>(code & 0xFFFFu);
    return "System error " + std::to_string(error) + " (" + std::strerror(error) + ")";
  }
  return KxrResult::kUnknownText;
}

std::string CodeNumbers(uint32_t code) {
  char text[48];
  std::snprintf(text, sizeof text, "0x%08X (%d)", code, static_cast<int>(code));
  return text;
}

std::string PrintableText(const std::string& bytes) {
  std::string text;
  for (unsigned char byte : bytes) text += (byte >= 0x20 && byte < 0x7F) ? static_cast<char>(byte) : '.';
  return text;
}

std::string FormatEntryLine(bool write, const EntryArg& entry, const EntryResult& outcome) {
  char head[40];
  std::snprintf(head, sizeof head, "0x%04X:0x%02X  0x%08X ", entry.index, entry.subIndex, outcome.code);
  std::string line = head + CodeMeaning(outcome.code);
  if (!write && !outcome.data.empty())
    line += "  " + std::to_string(outcome.data.size()) + (outcome.data.size() == 1 ? " byte: " : " bytes: ") +
            HexText(outcome.data, " ") + "  \"" + PrintableText(outcome.data) + "\"";
  TypedValue value;
  if (!write && outcome.code == 0 && DecodeValue(entry.type, outcome.data, value))
    line += "  value: " + (value.number ? value.text : "\"" + PrintableText(value.text) + "\"");
  return line;
}

std::string FormatFault(int32_t code, const std::string& faultString) {
  const uint32_t bits = static_cast<uint32_t>(code);
  std::string message = "the call failed: fault " + CodeNumbers(bits) + ": " + faultString;
  const std::string meaning = CodeMeaning(bits);
  if (meaning != faultString && meaning != KxrResult::kUnknownText) message += " (" + meaning + ")";
  return message;
}

}  // namespace KxrCli
