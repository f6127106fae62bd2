// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Entry values and hex.
#include "CliValue.h"

#include <cstdio>

#include "Protocol.h"

namespace KxrCli {
namespace {

constexpr char kBlanks[] = " \t\r\n\f\v";

// The integer of bytes (little-endian) in an integer type, in decimal;
// exact: it fits a JSON number. False when the width is not the size.
bool IntegerText(const std::string& type, const std::string& bytes, std::string& text, bool& exact) {
  const int width = IntegerWidth(type);
  if (width == 0 || bytes.size() != static_cast<std::size_t>(width)) return false;
  uint64_t bits = 0;
  for (int i = width - 1; i >= 0; --i) bits = (bits << 8) | static_cast<unsigned char>(bytes[static_cast<std::size_t>(i)]);
  constexpr uint64_t kExactLimit = uint64_t{1} << 53;
  if (type[0] == 'u') {
    exact = bits <= kExactLimit;
    text = std::to_string(bits);
    return true;
  }
  const int shift = 64 - 8 * width;
  const int64_t number = static_cast<int64_t>(bits << shift) >> shift;
  exact = number >= -static_cast<int64_t>(kExactLimit) && number <= static_cast<int64_t>(kExactLimit);
  text = std::to_string(number);
  return true;
}

// Parses hex bytes; pairs of digits, optionally separated by spaces, ':' or '-'.
bool ParseHexBytes(const std::string& text, std::string& bytes, std::string& error) {
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == ':' || c == '-') {
      if (digits.size() % 2 != 0) {
        error = "hex bytes must be pairs of digits";
        return false;
      }
      continue;
    }
    if (HexDigit(c) < 0) {
      error = std::string("not a hex digit: '") + c + "'";
      return false;
    }
    digits += c;
  }
  if (digits.size() % 2 != 0) {
    error = "hex bytes must be pairs of digits";
    return false;
  }
  bytes.clear();
  for (std::size_t i = 0; i < digits.size(); i += 2)
    bytes += static_cast<char>(HexDigit(digits[i]) * 16 + HexDigit(digits[i + 1]));
  return true;
}

// Parses a signed number: an optional '-' before a number of ParseNumber.
bool ParseSigned(const std::string& text, int64_t min, int64_t max, int64_t& value, std::string& error) {
  const bool negative = !text.empty() && text[0] == '-';
  uint64_t magnitude = 0;
  const uint64_t limit = negative ? static_cast<uint64_t>(-(min + 1)) + 1 : static_cast<uint64_t>(max);
  if (!ParseNumber(negative ? text.substr(1) : text, limit, magnitude, error)) return false;
  value = negative ? (magnitude == 0 ? 0 : -static_cast<int64_t>(magnitude - 1) - 1) : static_cast<int64_t>(magnitude);
  return true;
}

}  // namespace

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseHexField(const std::string& text, std::size_t digits, unsigned& value) {
  if (text.size() < 3 || text.size() > 2 + digits || text[0] != '0' || text[1] != 'x') return false;
  value = 0;
  for (std::size_t i = 2; i < text.size(); ++i) {
    const int digit = HexDigit(text[i]);
    if (digit < 0) return false;
    value = value * 16 + static_cast<unsigned>(digit);
  }
  return true;
}

std::string HexText(const std::string& bytes, const char* separator, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string text;
  for (unsigned char byte : bytes) {
    if (!text.empty()) text += separator;
    text += digits[byte >> 4];
    text += digits[byte & 0xF];
  }
  return text;
}

bool DecodeRawHex(const std::string& text, std::string& bytes) {
  if (text.size() % 2 != 0) return false;
  bytes.clear();
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = HexDigit(text[i]), low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes += static_cast<char>(high * 16 + low);
  }
  return true;
}

std::string CodeHex(uint32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", code);
  return text;
}

std::string EntryName(uint16_t index, uint8_t subIndex) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X:0x%02X", index, subIndex);
  return text;
}

bool ParseNumber(const std::string& text, uint64_t max, uint64_t& value, std::string& error) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty()) {
    error = "missing number";
    return false;
  }
  uint64_t result = 0;
  for (char c : digits) {
    const int digit = HexDigit(c);
    if (digit < 0 || (!hex && digit > 9)) {
      error = (!hex && digit > 9) ? "'" + text + "' has hex digits: write hex with 0x, as in 0x" + text
                                  : "not a number: '" + text + "'";
      return false;
    }
    const uint64_t base = hex ? 16 : 10;
    if (static_cast<uint64_t>(digit) > max || result > (max - static_cast<uint64_t>(digit)) / base) {
      error = "'" + text + "' is larger than " + std::to_string(max);
      return false;
    }
    result = result * base + static_cast<uint64_t>(digit);
  }
  if (!hex && digits.size() > 1 && digits[0] == '0') {
    error = "'" + text + "' is ambiguous: write 0x" + digits + " for hex or leave out the leading zero for decimal";
    return false;
  }
  value = result;
  return true;
}

bool ParseValue(const std::string& text, std::string& bytes, std::string& error) {
  const std::string::size_type colon = text.find(':');
  if (colon == std::string::npos) {
    error = "'" + text + "' has no type: write hex:BYTES, text:TEXT or u8/u16/u32/u64/i8/i16/i32/i64:NUMBER";
    return false;
  }
  const std::string type = text.substr(0, colon);
  const std::string rest = text.substr(colon + 1);
  if (type == "hex") return ParseHexBytes(rest, bytes, error);
  if (type == "text") {
    bytes = rest;
    return true;
  }
  {
    const int width = IntegerWidth(type);
    if (width != 0) {
      uint64_t value = 0;
      if (type[0] == 'u') {
        const uint64_t max = width == 8 ? UINT64_MAX : (uint64_t{1} << (8 * width)) - 1;
        if (!ParseNumber(rest, max, value, error)) return false;
      } else {
        const int64_t max = width == 8 ? INT64_MAX : (int64_t{1} << (8 * width - 1)) - 1;
        int64_t signedValue = 0;
        if (!ParseSigned(rest, -max - 1, max, signedValue, error)) return false;
        value = static_cast<uint64_t>(signedValue);
      }
      bytes.clear();
      KxrProtocol::AppendLe(bytes, value, width);
      return true;
    }
  }
  error = "unknown value type '" + type + "'";
  return false;
}

int IntegerWidth(const std::string& type) {
  if (type.size() < 2 || (type[0] != 'u' && type[0] != 'i')) return 0;
  const std::string bits = type.substr(1);
  return bits == "8" ? 1 : bits == "16" ? 2 : bits == "32" ? 4 : bits == "64" ? 8 : 0;
}

bool DecodeValue(const std::string& type, const std::string& bytes, TypedValue& value) {
  value = TypedValue();
  if (type == "text") {
    value.text = bytes.substr(0, bytes.find_last_not_of('\0') + 1);
    return true;
  }
  value.number = IntegerText(type, bytes, value.text, value.exact);
  return value.number;
}

bool ShowValue(const std::string& type, const std::string& bytes, std::string& value) {
  bool exact = false;
  if (IntegerWidth(type) != 0) return IntegerText(type, bytes, value, exact);
  if (type == "text") {
    const std::string::size_type end = bytes.find('\0');
    const std::string shown = bytes.substr(0, end);
    for (char c : shown)
      if (c < 0x20 || c > 0x7E) return false;
    if (end != std::string::npos && bytes.find_first_not_of('\0', end) != std::string::npos) return false;
    value = shown;
    return true;
  }
  if (type == "bytes") {
    value = HexText(bytes, " ", true);
    return true;
  }
  return false;
}

bool ParseShownValue(const std::string& type, const std::string& text, uint32_t size, std::string& bytes,
                     std::string& error) {
  const std::string::size_type first = text.find_first_not_of(kBlanks);
  const std::string trimmed =
      first == std::string::npos ? "" : text.substr(first, text.find_last_not_of(kBlanks) + 1 - first);
  bytes.clear();
  if (const int width = IntegerWidth(type)) {
    const bool isSigned = type[0] == 'i', negative = !trimmed.empty() && trimmed[0] == '-';
    const std::string digits = negative ? trimmed.substr(1) : trimmed;
    const bool hex = digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
    const std::string body = hex ? digits.substr(2) : digits;
    const uint64_t high = width == 8 ? UINT64_MAX : (uint64_t{1} << (8 * width)) - 1;
    const uint64_t limit = isSigned ? high >> 1 : high;  // largest positive value
    const std::string range = "out of range " + (isSigned ? "-" + std::to_string(limit + 1) : std::string("0")) +
                              " to " + std::to_string(limit);
    uint64_t magnitude = 0;
    bool tooLarge = false;
    for (char c : body) {
      const int digit = HexDigit(c);
      if (digit < 0 || (!hex && digit > 9)) {
        error = "not a number (decimal, or hexadecimal with 0x)";
        return false;
      }
      const uint64_t base = hex ? 16 : 10;
      if (magnitude > (UINT64_MAX - static_cast<uint64_t>(digit)) / base) tooLarge = true;
      magnitude = magnitude * base + static_cast<uint64_t>(digit);
    }
    if (body.empty() || (negative && !isSigned)) {
      error = "not a number (decimal, or hexadecimal with 0x)";
      return false;
    }
    if (tooLarge || magnitude > limit + (negative ? 1 : 0)) {
      error = range;
      return false;
    }
    KxrProtocol::AppendLe(bytes, negative ? 0 - magnitude : magnitude, static_cast<int>(size));
    return true;
  }
  if (type == "text") {
    // Taken as it stands, blanks included: a name that begins or ends with a
    // blank is saved that way and must restore to the same bytes.
    for (char c : text)
      if (c < 0x20 || c > 0x7E) {
        error = "only plain ASCII characters";
        return false;
      }
    if (text.size() > size) {
      error = "at most " + std::to_string(size) + " characters";
      return false;
    }
    bytes = text;
    bytes.resize(size, '\0');
    return true;
  }
  if (type != "bytes") {
    error = "unknown type " + type;
    return false;
  }
  const std::string wanted = "exactly " + std::to_string(size) + " bytes wanted";
  uint64_t given = 0;
  for (std::string::size_type at = trimmed.find_first_not_of(kBlanks); at != std::string::npos;) {
    const std::string::size_type end = trimmed.find_first_of(kBlanks, at);
    const std::string token = trimmed.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = trimmed.find_first_not_of(kBlanks, end);
    std::string run;
    if (token.size() > 3 && token[2] == '*' && token.find_first_not_of("0123456789", 3) == std::string::npos) {
      if (!DecodeRawHex(token.substr(0, 2), run)) {
        error = "hex byte pairs such as 12 AB, or HH*N";
        return false;
      }
      const std::string count = token.substr(3);
      if (count.size() > 9 || std::stoul(count) > size) {
        error = wanted;
        return false;
      }
      run.assign(std::stoul(count), run[0]);
    } else if (token.empty() || !DecodeRawHex(token, run)) {
      error = "hex byte pairs such as 12 AB, or HH*N";
      return false;
    }
    given += run.size();
    if (given <= size) bytes += run;
  }
  if (given != size) {
    error = wanted + ", " + std::to_string(given) + " given";
    return false;
  }
  return true;
}

}  // namespace KxrCli
