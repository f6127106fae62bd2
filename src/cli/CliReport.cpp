// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Texts of kxr-cli's output.
#include "CliReport.h"

#include <cstdio>
#include <cstring>

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

std::string HexBytes(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : bytes) {
    if (!text.empty()) text += ' ';
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xF];
  }
  return text;
}

std::string PrintableText(const std::string& bytes) {
  std::string text;
  for (unsigned char byte : bytes) text += (byte >= 0x20 && byte < 0x7F) ? static_cast<char>(byte) : '.';
  return text;
}

bool DecodeValue(const std::string& type, const std::string& bytes, TypedValue& value) {
  value = TypedValue();
  if (type == "text") {
    value.text = bytes.substr(0, bytes.find_last_not_of('\0') + 1);
    return true;
  }
  const int width = IntegerWidth(type);
  if (width == 0 || bytes.size() != static_cast<std::size_t>(width)) return false;
  uint64_t bits = 0;
  for (int i = width - 1; i >= 0; --i) bits = (bits << 8) | static_cast<unsigned char>(bytes[static_cast<std::size_t>(i)]);
  constexpr uint64_t kExactLimit = uint64_t{1} << 53;
  value.number = true;
  if (type[0] == 'u') {
    value.exact = bits <= kExactLimit;
    value.text = std::to_string(bits);
    return true;
  }
  const int shift = 64 - 8 * width;
  const int64_t number = static_cast<int64_t>(bits << shift) >> shift;
  value.exact = number >= -static_cast<int64_t>(kExactLimit) && number <= static_cast<int64_t>(kExactLimit);
  value.text = std::to_string(number);
  return true;
}

std::string FormatEntryLine(bool write, const EntryArg& entry, const EntryResult& outcome) {
  char head[40];
  std::snprintf(head, sizeof head, "0x%04X:0x%02X  0x%08X ", entry.index, entry.subIndex, outcome.code);
  std::string line = head + CodeMeaning(outcome.code);
  if (!write && !outcome.data.empty())
    line += "  " + std::to_string(outcome.data.size()) + (outcome.data.size() == 1 ? " byte: " : " bytes: ") +
            HexBytes(outcome.data) + "  \"" + PrintableText(outcome.data) + "\"";
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
