// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
#include "Credentials.h"

#include <cctype>

#include "Base64.h"

namespace KxrAccess {

namespace {

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<std::string_view> SessionCookieIn(std::string_view cookieField) {
  constexpr std::string_view name = kSessionCookie;
  while (!cookieField.empty()) {
    const std::size_t end = cookieField.find(';');
    const std::string_view pair = Trimmed(cookieField.substr(0, end));
    cookieField.remove_prefix(end == std::string_view::npos ? cookieField.size() : end + 1);
    if (pair.size() > name.size() && pair.compare(0, name.size(), name) == 0 && pair[name.size()] == '=')
      return pair.substr(name.size() + 1);
  }
  return std::nullopt;
}

std::optional<BasicField> BasicIn(std::string_view authorization) {
  authorization = Trimmed(authorization);
  constexpr std::string_view scheme = "basic ";
  if (authorization.size() < scheme.size()) return std::nullopt;
  for (std::size_t i = 0; i < scheme.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(authorization[i])) != scheme[i]) return std::nullopt;
  BasicField field;
  const std::string decoded = Base64::decode(std::string(Trimmed(authorization.substr(scheme.size()))));
  const std::size_t colon = decoded.find(':');
  field.pair.user = decoded.substr(0, colon);
  if (colon == std::string::npos || colon == 0) return field;
  field.pair.password = decoded.substr(colon + 1);
  field.valid = true;
  return field;
}

std::optional<std::string> FormField(std::string_view body, std::string_view name) {
  while (!body.empty()) {
    const std::size_t end = body.find('&');
    const std::string_view pair = body.substr(0, end);
    body.remove_prefix(end == std::string_view::npos ? body.size() : end + 1);
    if (pair.size() < name.size() + 1 || pair.compare(0, name.size(), name) != 0 || pair[name.size()] != '=')
      continue;
    std::string value;
    const std::string_view coded = pair.substr(name.size() + 1);
    for (std::size_t i = 0; i < coded.size(); ++i) {
      if (coded[i] == '+') {
        value += ' ';
      } else if (coded[i] != '%') {
        value += coded[i];
      } else {
        const bool two = i + 2 < coded.size();
        const int high = two ? HexDigit(coded[i + 1]) : -1;
        const int low = two ? HexDigit(coded[i + 2]) : -1;
        if (high < 0 || low < 0) return std::nullopt;
        value += static_cast<char>(high * 16 + low);
        i += 2;
      }
    }
    return value;
  }
  return std::nullopt;
}

}  // namespace KxrAccess
