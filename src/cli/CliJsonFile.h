// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The JSON files kxr-cli shares with the device pages (dictionaries,
// snapshots): read with Boost.JSON, and written by a small emitter of our
// own that lays the text out exactly as JSON.stringify(x, null, 2) does.
#pragma once

#include <cstdint>
#include <string>

#include <boost/json.hpp>

namespace KxrCli {

// Parses a whole file's text; a fault is named as the parser gives it.
bool ParseJson(const std::string& text, boost::json::value& doc, std::string& error);
// The string of key in o, or null.
const boost::json::string* StringField(const boost::json::object& o, const char* key);
// A whole number in [min, max] at key; false when absent or not one.
bool IntegerField(const boost::json::object& o, const char* key, int64_t min, int64_t max, int64_t& value);

// A JSON string literal as JSON.stringify writes it: '"' and '\' escaped,
// control characters as \b \t \n \f \r or \u00xx, everything else as is.
std::string Quote(const std::string& text);

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

}  // namespace KxrCli
