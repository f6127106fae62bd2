// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Entry values and their hex: what an entry's bytes mean in its type, how a
// value is typed into bytes (on the command line, in the pages' syntax), and
// the hex every output writes.
//
// Numbers (index, sub-index, length, integer values) are decimal, or hex
// with the prefix 0x: "0x1018" and "4120" name the same object. A plain
// number with a leading zero ("01") or with hex letters ("100A") is refused,
// so that hex written without its prefix is never taken for decimal.
#pragma once

#include <cstdint>
#include <string>

namespace KxrCli {

// Value of a hex digit, or -1.
int HexDigit(char c);
// "0x" and 1 to digits hex digits; "0X" is refused, as the pages refuse it.
bool ParseHexField(const std::string& text, std::size_t digits, unsigned& value);
// Bytes as hex pairs, separator between them ("" for none); lowercase
// unless upper.
std::string HexText(const std::string& bytes, const char* separator = "", bool upper = false);
// Bytes of a hex string without separators; false when it is not one.
bool DecodeRawHex(const std::string& text, std::string& bytes);
// "0xECA60201": a result code as the outputs show it.
std::string CodeHex(uint32_t code);
// "0x2000:0x01".
std::string EntryName(uint16_t index, uint8_t subIndex);

// Parses an unsigned number (decimal, or hex with 0x) no larger than max.
bool ParseNumber(const std::string& text, uint64_t max, uint64_t& value, std::string& error);
// Parses VALUE: hex:BYTES, text:TEXT, u8/u16/u32/u64:N or i8/i16/i32/i64:N.
bool ParseValue(const std::string& text, std::string& bytes, std::string& error);

// Width in bytes of an integer TYPE (u8..i64), 0 for any other.
int IntegerWidth(const std::string& type);

// A read's value in its TYPE: an integer in decimal (exact: it fits a JSON
// number, |n| <= 2^53), or the text without its trailing NULs.
struct TypedValue {
  bool number = false;
  bool exact = false;
  std::string text;
};
// False when there is no type, or an integer type's width is not the size read.
bool DecodeValue(const std::string& type, const std::string& bytes, TypedValue& value);

// The value of an entry's bytes as the snapshot writes it: integers in
// decimal, text up to its zero padding, bytes as "00 12 AB"; false when the
// type cannot show them (text that is not plain ASCII, say).
bool ShowValue(const std::string& type, const std::string& bytes, std::string& value);
// A value as a user types it into the pages, as size bytes of the type;
// false and the reason when it does not fit.
bool ParseShownValue(const std::string& type, const std::string& text, uint32_t size, std::string& bytes,
                     std::string& error);

}  // namespace KxrCli
