// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
#include "DictionaryFile.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <utility>

// Boost.JSON without a library to link: its sources are compiled here, once in the program.
#include <boost/json/src.hpp>

namespace KxrSim {

namespace {

namespace json = boost::json;

constexpr std::int64_t kMaxEntrySize = 65536;

// A fault's reason into why; always false.
bool Fault(std::string& why, std::string reason) {
  why = std::move(reason);
  return false;
}

// The width of an integer type ("u8" ... "i64") in bits; 0 for the other types.
int IntegerBits(std::string_view type) {
  for (const int bits : {8, 16, 32, 64})
    if (type.size() > 1 && (type[0] == 'u' || type[0] == 'i') && type.substr(1) == std::to_string(bits)) return bits;
  return 0;
}

// The whole of text as a number in base; out_of_range is told apart from
// text that is not a number at all.
template <typename T>
std::errc ParseWhole(std::string_view text, int base, T& value) {
  const auto r = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return r.ec == std::errc() && r.ptr != text.data() + text.size() ? std::errc::invalid_argument : r.ec;
}

bool EncodeInteger(bool isSigned, int bits, std::string_view text, std::size_t size, std::string& bytes,
                   std::string& why) {
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) text.remove_prefix(1);
  const bool isHex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  if (isHex) text.remove_prefix(2);
  uint64_t magnitude = 0;
  const std::errc ec = ParseWhole(text, isHex ? 16 : 10, magnitude);
  if (ec == std::errc::invalid_argument || (negative && !isSigned))
    return Fault(why, "not a number (decimal, or hexadecimal with 0x)");
  const uint64_t high = bits == 64 ? UINT64_MAX : (uint64_t{1} << bits) - 1;  // largest unsigned value
  const uint64_t limit = isSigned ? high >> 1 : high;                         // largest positive value
  if (ec != std::errc() || magnitude > limit + (negative ? 1 : 0))
    return Fault(why, "out of range " + (isSigned ? "-" + std::to_string(limit + 1) : std::string("0")) + " to " +
                          std::to_string(limit));
  uint64_t raw = negative ? 0 - magnitude : magnitude;  // two's complement
  for (std::size_t n = 0; n < size; ++n, raw >>= 8) bytes += static_cast<char>(raw & 0xFF);
  return true;
}

// Hex pairs ("12 AB") and runs ("00*16"), separated by blanks.
bool EncodeBytes(const std::string& text, std::size_t size, std::string& bytes, std::string& why) {
  const std::string wanted = "exactly " + std::to_string(size) + " bytes wanted";
  std::istringstream in(text);
  uint64_t given = 0;  // may pass size: counted, not stored
  for (std::string token; in >> token;) {
    const bool repeat = token.size() > 3 && token[2] == '*';
    const std::size_t pairs = repeat ? 1 : token.size() / 2;
    std::string run;
    bool ok = repeat || token.size() % 2 == 0;
    for (std::size_t i = 0; ok && i < pairs; ++i) {
      unsigned char byte = 0;
      ok = ParseWhole(std::string_view(token).substr(2 * i, 2), 16, byte) == std::errc();
      run += static_cast<char>(byte);
    }
    std::size_t count = 1;
    const std::errc countError = repeat ? ParseWhole(std::string_view(token).substr(3), 10, count) : std::errc();
    if (!ok || countError == std::errc::invalid_argument) return Fault(why, "hex byte pairs such as 12 AB, or HH*N");
    if (countError != std::errc() || count > size) return Fault(why, wanted);
    if (repeat) run.assign(count, run[0]);
    if ((given += run.size()) <= size) bytes += run;
  }
  return given == size || Fault(why, wanted + ", " + std::to_string(given) + " given");
}

// An entry's value written as a user types it into the pages' fields, as its
// bytes: integers in decimal or 0x hex, text in plain ASCII padded with zero
// bytes, bytes as hex pairs or runs. Surrounding blanks are not part of it.
bool EncodeValue(std::string_view type, std::string_view value, std::size_t size, std::string& bytes,
                 std::string& why) {
  constexpr char kBlanks[] = " \t\r\n\f\v";
  const std::size_t first = value.find_first_not_of(kBlanks);
  const std::string text(first == value.npos ? "" : value.substr(first, value.find_last_not_of(kBlanks) + 1 - first));
  if (const int bits = IntegerBits(type)) return EncodeInteger(type[0] == 'i', bits, text, size, bytes, why);
  if (type == "bytes") return EncodeBytes(text, size, bytes, why);
  if (std::any_of(text.begin(), text.end(), [](char c) { return c < 0x20 || c > 0x7E; }))
    return Fault(why, "only plain ASCII characters");
  if (text.size() > size) return Fault(why, "at most " + std::to_string(size) + " characters");
  bytes = text;
  bytes.resize(size, '\0');
  return true;
}

// "0x" and 1 to `digits` hex digits: the pages read the field with Number(), so
// a bare "1000" would be a decimal number to them.
bool ParseHexField(std::string_view t, std::size_t digits, unsigned& value) {
  return t.size() >= 3 && t.size() <= 2 + digits && t[0] == '0' && (t[1] == 'x' || t[1] == 'X') &&
         ParseWhole(t.substr(2), 16, value) == std::errc();
}

// What the entries read so far hold: their keys and their objects' names.
struct Seen {
  std::set<std::pair<unsigned, unsigned>> entries;
  std::map<unsigned, std::string> names;
};

// One entry into dict; false and why otherwise.
bool ReadEntry(const json::value& v, Seen& seen, Dictionary& dict, std::string& why) {
  const json::object* e = v.if_object();
  if (!e) return Fault(why, "an entry is an object { \"index\": ..., \"value\": ... }");
  for (const char* key : {"index", "sub", "name", "type", "size", "writable", "value"})
    if (!e->contains(key)) return Fault(why, std::string("the entry has no \"") + key + "\"");
  for (const char* key : {"index", "sub", "name", "type", "value"})
    if (!e->at(key).is_string()) return Fault(why, std::string("\"") + key + "\" is a string");
  if (!e->at("size").is_int64()) return Fault(why, "\"size\" is a whole number");
  if (!e->at("writable").is_bool()) return Fault(why, "\"writable\" is true or false");
  const auto text = [e](const char* key) { return std::string_view(e->at(key).get_string()); };
  const std::string_view index = text("index"), sub = text("sub"), type = text("type");
  const std::int64_t size = e->at("size").get_int64();
  unsigned i = 0, s = 0;
  if (!ParseHexField(index, 4, i)) return Fault(why, "\"index\": \"0x\" and 1 to 4 hex digits");
  if (!ParseHexField(sub, 2, s)) return Fault(why, "\"sub\": \"0x\" and 1 or 2 hex digits");
  if (text("name").empty()) return Fault(why, "\"name\" is empty");
  const int bits = IntegerBits(type);
  if (!bits && type != "text" && type != "bytes")
    return Fault(why, "\"type\": one of u8, u16, u32, u64, i8, i16, i32, i64, text, bytes");
  if (size < 1 || size > kMaxEntrySize)
    return Fault(why, "\"size\": 1 to " + std::to_string(kMaxEntrySize) + " bytes");
  if (bits && size * 8 != bits)
    return Fault(why, "\"size\" of a " + std::string(type) + " is " + std::to_string(bits / 8));
  std::string bytes;
  if (!EncodeValue(type, text("value"), static_cast<std::size_t>(size), bytes, why))
    return Fault(why, "\"value\": " + why);
  if (!seen.entries.emplace(i, s).second)
    return Fault(why, "the entry " + std::string(index) + ":" + std::string(sub) + " is given twice");
  if (const json::value* object = e->if_contains("object")) {
    if (!object->is_string()) return Fault(why, "\"object\" is a string");
    const std::string name(object->get_string());
    const auto named = seen.names.emplace(i, name);
    if (!named.second && named.first->second != name)
      return Fault(why, "the object " + std::string(index) + " is named \"" + named.first->second + "\" already");
    dict.SetName(static_cast<uint16_t>(i), name);
  }
  // A test's way to make the service refuse this entry's writes with a code.
  unsigned refuseWrite = 0;
  if (const json::value* refuse = e->if_contains("refuseWrite")) {
    if (!refuse->is_string() || !ParseHexField(std::string_view(refuse->get_string()), 8, refuseWrite) || refuseWrite == 0)
      return Fault(why, "\"refuseWrite\": \"0x\" and 1 to 8 hex digits, not 0");
  }
  dict.Set(static_cast<uint16_t>(i), static_cast<uint8_t>(s), std::move(bytes), !e->at("writable").get_bool(),
           refuseWrite);
  return true;
}

}  // namespace

bool LoadDictionaryFile(const std::string& path, Dictionary& dict, std::string& why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Fault(why, "cannot open " + path);
  // Fed in pieces, so that a syntax error's line is counted in what was taken.
  json::stream_parser parser;
  json::error_code ec;
  std::size_t line = 1;
  char piece[4096];
  do {
    in.read(piece, sizeof piece);
    const std::size_t taken = parser.write(piece, static_cast<std::size_t>(in.gcount()), ec);
    line += static_cast<std::size_t>(std::count(piece, piece + taken, '\n'));
  } while (!ec && in);
  if (in.bad()) return Fault(why, path + ": cannot be read");
  if (!ec) parser.finish(ec);
  if (ec) return Fault(why, path + ":" + std::to_string(line) + ": " + ec.message());
  const json::value list = parser.release();
  if (!list.is_array()) return Fault(why, path + ": the file is a list [ ... ] of entries");
  Seen seen;
  for (std::size_t n = 0; n < list.get_array().size(); ++n)
    if (!ReadEntry(list.get_array()[n], seen, dict, why))
      return Fault(why, path + ": entry " + std::to_string(n + 1) + ": " + why);
  return true;
}

}  // namespace KxrSim
