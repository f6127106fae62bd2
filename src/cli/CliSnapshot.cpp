// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Dictionaries and snapshots: read with Boost.JSON, written by a small
// emitter of our own that lays the text out exactly as the pages do.
#include "CliSnapshot.h"

#include <cmath>
#include <cstdio>
#include <set>
#include <utility>

// Boost.JSON without a library to link: its sources are compiled here, once in the program.
#include <boost/json/src.hpp>

#include "CliArgs.h"
#include "Protocol.h"
#include "ResultCodes.h"

namespace KxrCli {
namespace {

namespace json = boost::json;

constexpr char kBlanks[] = " \t\r\n\f\v";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "0x" and 1 to digits hex digits; "0X" is refused, as the pages refuse it.
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

// Bytes of a hex string without separators; false when it is not one.
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

bool IsType(const std::string& type) { return IntegerWidth(type) != 0 || type == "text" || type == "bytes"; }

// The string of key in o, or null.
// Parses a whole file's text; a fault is named as the parser gives it.
bool ParseJson(const std::string& text, json::value& doc, std::string& error) {
  json::error_code ec;
  doc = json::parse(text, ec);
  if (ec) error = "not JSON: " + ec.message();
  return !ec;
}

const json::string* StringField(const json::object& o, const char* key) {
  const json::value* v = o.if_contains(key);
  return v ? v->if_string() : nullptr;
}

// A whole number in [min, max] at key; false when absent or not one.
bool IntegerField(const json::object& o, const char* key, int64_t min, int64_t max, int64_t& value) {
  const json::value* v = o.if_contains(key);
  if (v == nullptr) return false;
  if (v->is_int64()) value = v->get_int64();
  else if (v->is_uint64() && v->get_uint64() <= static_cast<uint64_t>(INT64_MAX)) value = static_cast<int64_t>(v->get_uint64());
  else if (v->is_double() && std::fabs(v->get_double()) < 0x1p62 && v->get_double() == std::floor(v->get_double()))
    value = static_cast<int64_t>(v->get_double());  // 1.0 is the number 1, as a page's JSON.parse reads it
  else return false;
  return value >= min && value <= max;
}

// A JSON string literal as JSON.stringify writes it: '"' and '\' escaped,
// control characters as \b \t \n \f \r or \u00xx, everything else as is.
std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (byte < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", byte);
          out += escape;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

// Members of one object at one depth, written as JSON.stringify(x, null, 2) does.
class ObjectWriter {
 public:
  ObjectWriter(std::string& out, int depth) : out_(out), depth_(depth) {}
  void Raw(const std::string& key, const std::string& literal) {
    out_ += first_ ? "{\n" : ",\n";
    first_ = false;
    out_ += std::string(2 * static_cast<std::size_t>(depth_ + 1), ' ') + Quote(key) + ": " + literal;
  }
  void Text(const std::string& key, const std::string& text) { Raw(key, Quote(text)); }
  void Close() { out_ += first_ ? "{}" : "\n" + std::string(2 * static_cast<std::size_t>(depth_), ' ') + "}"; }

 private:
  std::string& out_;
  int depth_;
  bool first_ = true;
};

std::string Hex8(uint32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", code);
  return text;
}

// One record of a snapshot, the n-th, checked against the dictionary; false
// and the fault when it has one.
bool ReadRecord(const json::value& v, std::size_t n, const std::vector<DictEntry>& dict,
                std::set<std::pair<unsigned, unsigned>>& seen, SnapshotRecord& record, std::string& error) {
  const json::object* e = v.if_object();
  const json::string *index = e ? StringField(*e, "index") : nullptr, *sub = e ? StringField(*e, "sub") : nullptr;
  unsigned i = 0, s = 0;
  if (!index || !ParseHexField(std::string(*index), 4, i) || !sub || !ParseHexField(std::string(*sub), 2, s)) {
    error = "record " + std::to_string(n + 1) + ": \"index\" and \"sub\" are \"0x\" and 4 or 2 hex digits";
    return false;
  }
  record.index = static_cast<uint16_t>(i);
  record.subIndex = static_cast<uint8_t>(s);
  const std::string where = EntryName(record.index, record.subIndex) + ": ";
  if (!seen.emplace(i, s).second) {
    error = where + "given twice";
    return false;
  }
  if (const json::string* name = StringField(*e, "name")) record.name = std::string(*name);
  for (std::size_t k = 0; k < dict.size(); ++k)
    if (dict[k].index == record.index && dict[k].subIndex == record.subIndex) record.dictPos = static_cast<long>(k);
  if (e->contains("code")) {
    int64_t code = 0;
    if (!IntegerField(*e, "code", 0, UINT32_MAX, code)) {
      error = where + "\"code\" is not an unsigned 32-bit number";
      return false;
    }
    record.code = static_cast<uint32_t>(code);
    return true;
  }
  const json::string* raw = StringField(*e, "raw");
  if (!raw || !DecodeRawHex(std::string(*raw), record.raw)) {
    error = where + (raw ? "\"raw\" is not hex" : "neither \"raw\" nor \"code\"");
    return false;
  }
  record.hasRaw = true;
  if (record.dictPos >= 0) {
    const DictEntry& d = dict[static_cast<std::size_t>(record.dictPos)];
    const json::string* type = StringField(*e, "type");
    int64_t size = 0;
    if (!type || *type != d.type) {
      error = where + "type " + (type ? std::string(*type) : std::string("(none)")) + " differs from the device's " +
              d.type;
      return false;
    }
    if (!IntegerField(*e, "size", 0, INT64_MAX, size) || size != d.size) {
      error = where + "size " + (e->contains("size") ? json::serialize(e->at("size")) : std::string("(none)")) +
              " differs from the device's " + std::to_string(d.size);
      return false;
    }
    if (record.raw.size() != d.size) {
      error = where + "\"raw\" holds " + std::to_string(record.raw.size()) + " bytes, not " + std::to_string(d.size);
      return false;
    }
    if (const json::value* value = e->if_contains("value")) {
      std::string bytes, why;
      if (!value->is_string() || !ParseShownValue(d.type, std::string(value->get_string()), d.size, bytes, why)) {
        error = where + "\"value\" does not fit: " + (value->is_string() ? why : "not a string");
        return false;
      }
      if (bytes != record.raw) {
        error = where + "\"value\" " + json::serialize(*value) + " differs from \"raw\" " + std::string(*raw);
        return false;
      }
    }
  }
  return true;
}

}  // namespace

std::string EntryName(uint16_t index, uint8_t subIndex) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X:0x%02X", index, subIndex);
  return text;
}

std::string RawHex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xF];
  }
  return text;
}

bool ParseDictionary(const std::string& text, std::vector<DictEntry>& dict, std::string& error) {
  dict.clear();
  json::value doc;
  if (!ParseJson(text, doc, error)) return false;
  if (!doc.is_array()) {
    error = "not a list [ ... ] of entries";
    return false;
  }
  std::set<std::pair<unsigned, unsigned>> seen;
  // An entry must fit one call on its own: its record and bytes in the read area.
  const int64_t largest = KxrProtocol::kMaxEntryLength - KxrProtocol::kReadRecordSize;
  for (std::size_t n = 0; n < doc.get_array().size(); ++n) {
    const std::string where = "entry " + std::to_string(n + 1) + ": ";
    const json::object* e = doc.get_array()[n].if_object();
    const json::string *index = e ? StringField(*e, "index") : nullptr, *sub = e ? StringField(*e, "sub") : nullptr;
    const json::string *name = e ? StringField(*e, "name") : nullptr, *type = e ? StringField(*e, "type") : nullptr;
    const json::value* writable = e ? e->if_contains("writable") : nullptr;
    DictEntry entry;
    unsigned i = 0, s = 0;
    int64_t size = 0;
    if (!index || !ParseHexField(std::string(*index), 4, i) || !sub || !ParseHexField(std::string(*sub), 2, s)) {
      error = where + "\"index\" and \"sub\" are \"0x\" and 4 or 2 hex digits";
      return false;
    }
    entry.index = static_cast<uint16_t>(i);
    entry.subIndex = static_cast<uint8_t>(s);
    if (!name || !type || !IsType(std::string(*type)) || !writable || !writable->is_bool() ||
        !IntegerField(*e, "size", 1, largest, size)) {
      error = where + "needs \"name\", \"type\" (u8..u64, i8..i64, text, bytes), \"size\" (1 to " +
              std::to_string(largest) + ") and \"writable\"";
      return false;
    }
    entry.name = std::string(*name);
    entry.type = std::string(*type);
    entry.size = static_cast<uint32_t>(size);
    entry.writable = writable->get_bool();
    if (IntegerWidth(entry.type) != 0 && entry.size != static_cast<uint32_t>(IntegerWidth(entry.type))) {
      error = where + "the size of a " + entry.type + " is " + std::to_string(IntegerWidth(entry.type));
      return false;
    }
    if (!seen.emplace(i, s).second) {
      error = where + EntryName(entry.index, entry.subIndex) + " is given twice";
      return false;
    }
    dict.push_back(std::move(entry));
  }
  return true;
}

bool ShowValue(const std::string& type, const std::string& bytes, std::string& value) {
  if (const int width = IntegerWidth(type)) {
    if (bytes.size() != static_cast<std::size_t>(width)) return false;
    uint64_t bits = 0;
    for (std::size_t i = bytes.size(); i-- > 0;) bits = (bits << 8) | static_cast<unsigned char>(bytes[i]);
    if (type[0] == 'u') {
      value = std::to_string(bits);
    } else {
      const int shift = 64 - 8 * width;
      value = std::to_string(static_cast<int64_t>(bits << shift) >> shift);
    }
    return true;
  }
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
    static const char kDigits[] = "0123456789ABCDEF";
    value.clear();
    for (unsigned char byte : bytes) {
      if (!value.empty()) value += ' ';
      value += kDigits[byte >> 4];
      value += kDigits[byte & 0xF];
    }
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

EntryResult SizedOutcome(const EntryResult& outcome, uint32_t size) {
  if (outcome.code == 0 && outcome.data.size() < size) return EntryResult{KxrResult::WrongLength, {}};
  return outcome;
}

std::string TakenText(std::time_t when) {
  std::tm parts{};
  gmtime_r(&when, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::string SnapshotText(const std::vector<DictEntry>& dict, const std::vector<EntryResult>& outcomes,
                         const std::string& taken) {
  // The shown value of a dictionary entry that was read, when it has one.
  const auto valueOf = [&](uint16_t index, uint8_t subIndex, std::string& value) {
    for (std::size_t i = 0; i < dict.size() && i < outcomes.size(); ++i)
      if (dict[i].index == index && dict[i].subIndex == subIndex)
        return outcomes[i].code == 0 && ShowValue(dict[i].type, outcomes[i].data, value);
    return false;
  };
  std::string out;
  ObjectWriter top(out, 0);
  top.Text("format", kSnapshotFormat);
  top.Raw("version", std::to_string(kSnapshotVersion));
  top.Text("taken", taken);
  std::string device, value;
  ObjectWriter deviceWriter(device, 1);
  deviceWriter.Raw("name", valueOf(0x1008, 0x00, value) ? Quote(value) : "null");
  std::string identity;
  ObjectWriter identityWriter(identity, 2);
  const char* const kIdentity[] = {"maker", "product", "revision", "serial"};
  for (uint8_t sub = 1; sub <= 4; ++sub)
    if (valueOf(0x1018, sub, value)) identityWriter.Text(kIdentity[sub - 1], value);
  identityWriter.Close();
  deviceWriter.Raw("identity", identity);
  // A file that lacks some values says so where a reader looks first; a
  // whole one has no such key, as before.
  for (std::size_t i = 0; i < dict.size(); ++i)
    if (i >= outcomes.size() || outcomes[i].code != 0) {
      deviceWriter.Raw("partial", "true");
      break;
    }
  deviceWriter.Close();
  top.Raw("device", device);
  std::string entries = dict.empty() ? "[]" : "[";
  for (std::size_t i = 0; i < dict.size(); ++i) {
    const DictEntry& e = dict[i];
    const EntryResult outcome = i < outcomes.size() ? outcomes[i] : EntryResult{KxrResult::NoSuchEntry, {}};
    std::string record;
    ObjectWriter r(record, 2);
    char index[8], sub[8];
    std::snprintf(index, sizeof index, "0x%04X", e.index);
    std::snprintf(sub, sizeof sub, "0x%02X", e.subIndex);
    r.Text("index", index);
    r.Text("sub", sub);
    r.Text("name", e.name);
    r.Text("type", e.type);
    r.Raw("size", std::to_string(e.size));
    r.Raw("writable", e.writable ? "true" : "false");
    if (outcome.code == 0) {
      if (ShowValue(e.type, outcome.data, value)) r.Text("value", value);
      r.Text("raw", RawHex(outcome.data));
    } else {
      r.Raw("code", std::to_string(outcome.code));
      r.Text("codeHex", Hex8(outcome.code));
    }
    r.Close();
    entries += (i == 0 ? "\n    " : ",\n    ") + record;
  }
  if (!dict.empty()) entries += "\n  ]";
  top.Raw("entries", entries);
  top.Close();
  return out + "\n";
}

bool ParseSnapshot(const std::string& text, const std::vector<DictEntry>& dict, std::vector<SnapshotRecord>& records,
                   std::string& error) {
  records.clear();
  json::value doc;
  if (!ParseJson(text, doc, error)) return false;
  const json::object* top = doc.if_object();
  const json::string* format = top ? StringField(*top, "format") : nullptr;
  if (!format || *format != kSnapshotFormat) {
    error = std::string("not a snapshot: \"format\" is not \"") + kSnapshotFormat + "\"";
    return false;
  }
  int64_t version = 0;
  if (!IntegerField(*top, "version", 1, INT64_MAX, version)) {
    error = "\"version\" is not a whole number of 1 or more";
    return false;
  }
  if (version > kSnapshotVersion) {
    error = "snapshot version " + std::to_string(version) + " is newer than this reader (" +
            std::to_string(kSnapshotVersion) + ")";
    return false;
  }
  const json::value* entries = top->if_contains("entries");
  if (!entries || !entries->is_array()) {
    error = "\"entries\" is not a list";
    return false;
  }
  // Every faulty record is named, not only the first.
  std::set<std::pair<unsigned, unsigned>> seen;
  std::string faults;
  for (std::size_t n = 0; n < entries->get_array().size(); ++n) {
    SnapshotRecord record;
    if (ReadRecord(entries->get_array()[n], n, dict, seen, record, error))
      records.push_back(std::move(record));
    else
      faults += (faults.empty() ? "" : "\n") + error;
  }
  error = faults;
  return faults.empty();
}

}  // namespace KxrCli
