#include "DictionaryFile.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <utility>
#include <vector>

namespace KxrSim {

namespace {

constexpr std::size_t kMaxFileSize = 1u << 20;  // the sample is a few KiB
constexpr std::size_t kMaxEntrySize = 65536;
constexpr char kSpace[] = " \t\r\n\f\v";
constexpr int kMaxDepth = 8;  // the file needs 2; bounds the recursion on hostile input

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// --- JSON -------------------------------------------------------------------
// A strict reader of RFC 8259 text into a tree: anything the grammar does not
// allow is refused, and so is a key given twice in one object.

struct Node {
  enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
  int line = 0;
  bool flag = false;
  std::string text;                                   // a string's content, a number as written
  std::vector<Node> items;                            // an array's values
  std::vector<std::pair<std::string, Node>> members;  // an object's keys and values, in file order
};

class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : s_(text) {}

  // The whole text as one value; false with why ("LINE: reason") otherwise.
  bool Document(Node& out, std::string& why) {
    bool ok = Value(out, 0);
    if (ok) {
      Space();
      ok = pos_ == s_.size() || Fail("unexpected text after the end");
    }
    if (!ok) why = std::to_string(line_) + ": " + why_;
    return ok;
  }

 private:
  bool Fail(const std::string& why) {
    why_ = pos_ >= s_.size() ? "unexpected end of the file" : why;  // whatever was expected
    return false;
  }
  bool At(char c) const { return pos_ < s_.size() && s_[pos_] == c; }
  void Space() {
    for (; pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\r' || s_[pos_] == '\n'); ++pos_)
      if (s_[pos_] == '\n') ++line_;
  }
  bool Digits() {
    const std::size_t start = pos_;
    while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
    return pos_ > start;
  }

  bool Value(Node& out, int depth) {
    Space();
    out.line = line_;
    if (pos_ >= s_.size()) return Fail("unexpected end of the file");
    const char c = s_[pos_];
    if (c == '[' || c == '{') return Container(out, depth);
    if (c == '"') {
      out.kind = Node::kString;
      return String(out.text);
    }
    if (c == '-' || (c >= '0' && c <= '9')) {
      out.kind = Node::kNumber;
      return Number(out.text);
    }
    for (const char* word : {"true", "false", "null"}) {
      if (s_.compare(pos_, std::char_traits<char>::length(word), word) == 0) {
        pos_ += std::char_traits<char>::length(word);
        out.kind = word[0] == 'n' ? Node::kNull : Node::kBool;
        out.flag = word[0] == 't';
        return true;
      }
    }
    return Fail("unexpected character '" + std::string(1, c) + "'");
  }

  bool Container(Node& out, int depth) {
    if (depth == kMaxDepth) return Fail("nested too deeply");
    const bool isArray = s_[pos_++] == '[';
    const char close = isArray ? ']' : '}';
    out.kind = isArray ? Node::kArray : Node::kObject;
    std::set<std::string> keys;
    Space();
    if (At(close)) {
      ++pos_;
      return true;
    }
    for (;;) {
      if (isArray) {
        out.items.emplace_back();
        if (!Value(out.items.back(), depth + 1)) return false;
      } else {
        std::string key;
        Space();
        if (!At('"')) return Fail("expected a key in double quotes");
        if (!String(key)) return false;
        if (!keys.insert(key).second) return Fail("the key \"" + key + "\" is given twice");
        Space();
        if (!At(':')) return Fail("expected ':' after \"" + key + "\"");
        ++pos_;
        out.members.emplace_back(key, Node{});
        if (!Value(out.members.back().second, depth + 1)) return false;
      }
      Space();
      if (!At(',') && !At(close)) return Fail(std::string("expected ',' or '") + close + "'");
      if (s_[pos_++] == close) return true;
    }
  }

  bool Number(std::string& out) {
    const std::size_t start = pos_;
    if (At('-')) ++pos_;
    if (At('0'))
      ++pos_;
    else if (!Digits())
      return Fail("bad number");
    if (At('.') && (++pos_, !Digits())) return Fail("bad number");
    if (At('e') || At('E')) {
      ++pos_;
      if (At('+') || At('-')) ++pos_;
      if (!Digits()) return Fail("bad number");
    }
    out = s_.substr(start, pos_ - start);
    return true;
  }

  bool Hex4(unsigned& code) {
    if (s_.size() - pos_ < 4) return Fail("bad \\u escape");
    code = 0;
    for (int i = 0; i < 4; ++i) {
      const int digit = HexDigit(s_[pos_++]);
      if (digit < 0) return Fail("bad \\u escape");
      code = code << 4 | static_cast<unsigned>(digit);
    }
    return true;
  }

  static void AppendUtf8(std::string& out, unsigned code) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | code >> 6);
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | code >> 12);
      out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | code >> 18);
      out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  bool String(std::string& out) {
    ++pos_;  // the opening quote
    for (;;) {
      if (pos_ >= s_.size()) return Fail("unterminated string");
      const char c = s_[pos_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return Fail("control character in a string");
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= s_.size()) return Fail("unterminated string");
      const char e = s_[pos_++];
      static const std::string kFrom = "\"\\/bfnrt", kTo = "\"\\/\b\f\n\r\t";
      const std::size_t simple = kFrom.find(e);
      if (simple != std::string::npos) {
        out += kTo[simple];
        continue;
      }
      unsigned code = 0, low = 0;
      if (e != 'u' || !Hex4(code)) return Fail("bad escape in a string");
      if (code >= 0xDC00 && code <= 0xDFFF) return Fail("lone surrogate in a string");
      if (code >= 0xD800 && code <= 0xDBFF) {
        if (s_.compare(pos_, 2, "\\u") != 0 || (pos_ += 2, !Hex4(low)) || low < 0xDC00 || low > 0xDFFF)
          return Fail("lone surrogate in a string");
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
      }
      AppendUtf8(out, code);
    }
  }

  const std::string& s_;
  std::size_t pos_ = 0;
  int line_ = 1;
  std::string why_;
};

// --- values -----------------------------------------------------------------

struct IntegerType {
  const char* name;
  int bits;
  bool isSigned;
};
constexpr IntegerType kIntegers[] = {{"u8", 8, false},  {"u16", 16, false}, {"u32", 32, false}, {"u64", 64, false},
                                     {"i8", 8, true},   {"i16", 16, true},  {"i32", 32, true},  {"i64", 64, true}};

const IntegerType* FindInteger(const std::string& type) {
  for (const IntegerType& t : kIntegers)
    if (type == t.name) return &t;
  return nullptr;
}

bool EncodeInteger(const IntegerType& t, const std::string& text, std::size_t size, std::string& bytes,
                   std::string& why) {
  const bool negative = !text.empty() && text[0] == '-';
  const std::size_t start = negative ? 1 : 0;
  const bool isHex =
      text.size() > start + 2 && text[start] == '0' && (text[start + 1] == 'x' || text[start + 1] == 'X');
  const unsigned base = isHex ? 16 : 10;
  uint64_t magnitude = 0;
  bool overflow = false;
  std::size_t i = start + (isHex ? 2 : 0);
  if (i == text.size() || (negative && !t.isSigned)) {
    why = "not a number (decimal, or hexadecimal with 0x)";
    return false;
  }
  for (; i < text.size(); ++i) {
    const int digit = HexDigit(text[i]);
    if (digit < 0 || static_cast<unsigned>(digit) >= base) {
      why = "not a number (decimal, or hexadecimal with 0x)";
      return false;
    }
    overflow = overflow || magnitude > (UINT64_MAX - static_cast<unsigned>(digit)) / base;
    magnitude = magnitude * base + static_cast<unsigned>(digit);
  }
  const uint64_t high = t.bits == 64 ? UINT64_MAX : (uint64_t{1} << t.bits) - 1;  // largest unsigned value
  const uint64_t limit = t.isSigned ? high >> 1 : high;                            // largest positive value
  if (overflow || magnitude > limit + (negative ? 1 : 0)) {
    why = "out of range " + (t.isSigned ? "-" + std::to_string(limit + 1) : std::string("0")) + " to " +
          std::to_string(limit);
    return false;
  }
  uint64_t raw = negative ? 0 - magnitude : magnitude;  // two's complement
  for (std::size_t n = 0; n < size; ++n, raw >>= 8) bytes += static_cast<char>(raw & 0xFF);
  return true;
}

bool EncodeText(const std::string& text, std::size_t size, std::string& bytes, std::string& why) {
  for (const char c : text) {
    if (c < 0x20 || c > 0x7E) {
      why = "only plain ASCII characters";
      return false;
    }
  }
  if (text.size() > size) {
    why = "at most " + std::to_string(size) + " characters";
    return false;
  }
  bytes = text;
  bytes.resize(size, '\0');
  return true;
}

bool EncodeBytes(const std::string& text, std::size_t size, std::string& bytes, std::string& why) {
  const std::string wanted = "exactly " + std::to_string(size) + " bytes wanted";
  uint64_t given = 0;  // may pass size: counted, not stored
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t start = text.find_first_not_of(kSpace, pos);
    if (start == std::string::npos) break;
    pos = text.find_first_of(kSpace, start);
    const std::string token = text.substr(start, pos == std::string::npos ? std::string::npos : pos - start);
    const bool repeat = token.size() > 3 && token[2] == '*';
    const std::string hex = repeat ? token.substr(0, 2) : token;
    const std::string count = repeat ? token.substr(3) : std::string();
    bool ok = !hex.empty() && hex.size() % 2 == 0 && count.find_first_not_of("0123456789") == std::string::npos;
    for (const char c : hex) ok = ok && HexDigit(c) >= 0;
    if (!ok) {
      why = "hex byte pairs such as 12 AB, or HH*N";
      return false;
    }
    if (repeat) {
      std::size_t n = 0;  // saturates: any count above the largest entry is refused alike
      for (const char c : count)
        n = std::min<std::size_t>(n * 10 + static_cast<std::size_t>(c - '0'), kMaxEntrySize + 1);
      if (n > size) {
        why = wanted;
        return false;
      }
      const char byte = static_cast<char>(HexDigit(hex[0]) << 4 | HexDigit(hex[1]));
      if ((given += n) <= size) bytes.append(n, byte);
    } else {
      for (std::size_t i = 0; i < hex.size(); i += 2)
        if (++given <= size) bytes += static_cast<char>(HexDigit(hex[i]) << 4 | HexDigit(hex[i + 1]));
    }
  }
  if (given != size) {
    why = wanted + ", " + std::to_string(given) + " given";
    return false;
  }
  return true;
}

// An entry's value written as a user types it into the pages' fields, as its
// bytes: integers in decimal or 0x hex, text in plain ASCII padded with zero
// bytes, bytes as hex pairs or HH*N.
bool EncodeValue(const std::string& type, const std::string& text, std::size_t size, std::string& bytes,
                 std::string& why) {
  // Surrounding white space is not part of the value, as in the pages' fields.
  const std::size_t first = text.find_first_not_of(kSpace);
  const std::string t =
      first == std::string::npos ? std::string() : text.substr(first, text.find_last_not_of(kSpace) + 1 - first);
  bytes.clear();
  if (const IntegerType* integer = FindInteger(type)) return EncodeInteger(*integer, t, size, bytes, why);
  if (type == "text") return EncodeText(t, size, bytes, why);
  if (type == "bytes") return EncodeBytes(t, size, bytes, why);
  why = "unknown type " + type;
  return false;
}

// --- entries ----------------------------------------------------------------

const Node* Member(const Node& object, const char* key) {
  for (const auto& m : object.members)
    if (m.first == key) return &m.second;
  return nullptr;
}

// "0x" and 1 to `digits` hex digits: the pages read the field with Number(), so
// a bare "1000" would be a decimal number to them.
bool ParseHexField(const Node& node, std::size_t digits, unsigned long& value) {
  const std::string& t = node.text;
  if (node.kind != Node::kString || t.size() < 3 || t.size() > 2 + digits || t[0] != '0' ||
      (t[1] != 'x' && t[1] != 'X'))
    return false;
  value = 0;
  for (std::size_t i = 2; i < t.size(); ++i) {
    if (HexDigit(t[i]) < 0) return false;
    value = value << 4 | static_cast<unsigned long>(HexDigit(t[i]));
  }
  return true;
}

class EntryReader {
 public:
  EntryReader(Dictionary& dict, std::string& why) : dict_(dict), why_(why) {}

  bool Read(const Node& e) {
    line_ = e.line;
    if (e.kind != Node::kObject) return Fail("an entry is an object { \"index\": ..., \"value\": ... }");
    static const std::pair<const char*, Node::Kind> kFields[] = {
        {"index", Node::kString}, {"sub", Node::kString},     {"name", Node::kString},    {"type", Node::kString},
        {"size", Node::kNumber},  {"writable", Node::kBool}, {"value", Node::kString}};
    const Node* field[std::size(kFields)];
    for (std::size_t k = 0; k < std::size(kFields); ++k)
      if (!(field[k] = Need(e, kFields[k].first, kFields[k].second))) return false;
    const Node *index = field[0], *sub = field[1], *name = field[2], *type = field[3], *size = field[4],
               *writable = field[5], *value = field[6];
    unsigned long indexValue = 0, subValue = 0;
    if (!ParseHexField(*index, 4, indexValue)) return Fail("\"index\": \"0x\" and 1 to 4 hex digits", index);
    if (!ParseHexField(*sub, 2, subValue)) return Fail("\"sub\": \"0x\" and 1 or 2 hex digits", sub);
    if (name->text.empty()) return Fail("\"name\" is empty", name);
    const IntegerType* integer = FindInteger(type->text);
    if (!integer && type->text != "text" && type->text != "bytes")
      return Fail("\"type\": one of u8, u16, u32, u64, i8, i16, i32, i64, text, bytes", type);
    const std::string& sizeText = size->text;
    if (sizeText.find_first_not_of("0123456789") != std::string::npos || sizeText.size() > 6 ||
        std::stoul(sizeText) < 1 || std::stoul(sizeText) > kMaxEntrySize)
      return Fail("\"size\": a whole number of bytes, 1 to " + std::to_string(kMaxEntrySize), size);
    const std::size_t sizeValue = std::stoul(sizeText);
    if (integer && sizeValue * 8 != static_cast<std::size_t>(integer->bits))
      return Fail("\"size\" of a " + type->text + " is " + std::to_string(integer->bits / 8), size);

    std::string bytes, reason;
    if (!EncodeValue(type->text, value->text, sizeValue, bytes, reason)) return Fail("\"value\": " + reason, value);
    const auto i = static_cast<uint16_t>(indexValue);
    const auto s = static_cast<uint8_t>(subValue);
    if (!keys_.emplace(i, s).second)
      return Fail("the entry " + index->text + ":" + sub->text + " is given twice", index);
    if (const Node* object = Member(e, "object")) {
      if (object->kind != Node::kString) return Fail("\"object\" is a string", object);
      const auto named = names_.emplace(i, object->text);
      if (!named.second && named.first->second != object->text)
        return Fail("the object " + index->text + " is named \"" + named.first->second + "\" already", object);
      dict_.SetName(i, object->text);
    }
    dict_.Set(i, s, std::move(bytes), !writable->flag);
    return true;
  }

 private:
  bool Fail(const std::string& why, const Node* at = nullptr) {
    why_ = std::to_string(at ? at->line : line_) + ": " + why;
    return false;
  }
  const Node* Need(const Node& e, const char* key, Node::Kind kind) {
    static const char* const kKinds[] = {"null", "true or false", "a number", "a string", "a list", "an object"};
    const Node* n = Member(e, key);
    if (!n)
      Fail(std::string("the entry has no \"") + key + "\"");
    else if (n->kind != kind)
      Fail(std::string("\"") + key + "\" is " + kKinds[kind], n);
    return n && n->kind == kind ? n : nullptr;
  }

  Dictionary& dict_;
  std::string& why_;
  int line_ = 0;
  std::set<std::pair<uint16_t, uint8_t>> keys_;
  std::map<uint16_t, std::string> names_;
};

}  // namespace

bool LoadDictionaryFile(const std::string& path, Dictionary& dict, std::string& why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    why = "cannot open " + path;
    return false;
  }
  std::string text(kMaxFileSize + 1, '\0');
  in.read(&text[0], static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (in.bad() || text.size() > kMaxFileSize) {
    why = path + ": " + (in.bad() ? "cannot be read" : "larger than " + std::to_string(kMaxFileSize) + " bytes");
    return false;
  }
  Node list;
  std::string where;
  if (!JsonReader(text).Document(list, where)) {
    why = path + ":" + where;
    return false;
  }
  if (list.kind != Node::kArray) {
    why = path + ":" + std::to_string(list.line) + ": the file is a list [ ... ] of entries";
    return false;
  }
  EntryReader reader(dict, where);
  for (const Node& entry : list.items) {
    if (!reader.Read(entry)) {
      why = path + ":" + where;
      return false;
    }
  }
  return true;
}

}  // namespace KxrSim
