// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Reading and writing the JSON files shared with the pages.
#include "CliJsonFile.h"

#include <cmath>
#include <cstdio>

// Boost.JSON without a library to link: its sources are compiled here, once in the program.
#include <boost/json/src.hpp>

namespace KxrCli {

namespace json = boost::json;

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

}  // namespace KxrCli
