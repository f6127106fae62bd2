// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The JSON documents of kxr-cli: a few escape rules, no library.
#include "CliJson.h"

#include <cstdio>

#include "CliReport.h"
#include "CliValue.h"

namespace KxrCli {
namespace {

// Length of the valid UTF-8 sequence at text[i], 0 when there is none
// (overlong forms, surrogates and values above U+10FFFF included).
std::size_t Utf8Length(const std::string& text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  const std::size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                           : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
  if (length == 0 || i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k)
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  const unsigned char second = byte(i + 1);
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) || (lead == 0xF0 && second < 0x90) ||
      (lead == 0xF4 && second > 0x8F))
    return 0;
  return length;
}

// The literal; replace puts U+FFFD for every byte that is not valid UTF-8
// instead of failing.
bool Escape(const std::string& text, bool replace, std::string& literal) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = Utf8Length(text, i);
    if (length == 0) {
      if (!replace) return false;
      out += "\\uFFFD";
      ++i;
      continue;
    }
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04X", c);
      out += escape;
    } else {
      out.append(text, i, length);
    }
    i += length;
  }
  literal = out + "\"";
  return true;
}

// A message's literal: its text, damaged bytes marked, never an invalid document.
std::string Quoted(const std::string& text) {
  std::string literal;
  Escape(text, true, literal);
  return literal;
}

}  // namespace

bool JsonString(const std::string& text, std::string& literal) { return Escape(text, false, literal); }

std::string JsonCode(uint32_t code, bool signedCode) {
  return "\"code\":" + (signedCode ? std::to_string(static_cast<int32_t>(code)) : std::to_string(code)) +
         ",\"codeHex\":\"" + CodeHex(code) + "\",\"meaning\":" + Quoted(CodeMeaning(code));
}

std::string JsonEntries(bool write, const std::vector<EntryArg>& entries, const std::vector<EntryResult>& outcomes) {
  std::string json = "{\"entries\":[";
  for (std::size_t i = 0; i < outcomes.size() && i < entries.size(); ++i) {
    const EntryArg& entry = entries[i];
    const EntryResult& outcome = outcomes[i];
    if (i != 0) json += ',';
    json += "{\"index\":" + std::to_string(entry.index) + ",\"sub\":" + std::to_string(entry.subIndex) + "," +
            JsonCode(outcome.code);
    if (!write) {
      json += ",\"bytes\":\"" + HexText(outcome.data) + "\"";
      TypedValue value;
      std::string text;
      if (outcome.code == 0 && DecodeValue(entry.type, outcome.data, value)) {
        if (!value.number)
          json += JsonString(value.text, text) ? ",\"value\":" + text : std::string();
        else
          json += value.exact ? ",\"value\":" + value.text : ",\"value\":\"" + value.text + "\"";
      }
    }
    json += '}';
  }
  return json + "]}\n";
}

std::string JsonFault(int32_t code, const std::string& faultString) {
  return "{\"fault\":{" + JsonCode(static_cast<uint32_t>(code), true) + ",\"text\":" + Quoted(faultString) + "}}\n";
}

std::string JsonError(const std::string& message) { return "{\"error\":" + Quoted(message) + "}\n"; }

}  // namespace KxrCli
