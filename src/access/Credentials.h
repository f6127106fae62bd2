// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// What a request offers as proof of its caller, read from its text: the
// session cookie, an Authorization field of the Basic scheme, the sign-in
// form. Nothing here decides; AccessGate does.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "Protocol.h"

namespace KxrAccess {

using KxrProtocol::kSessionCookie;

// The value of the session cookie in one Cookie field, if it is there.
std::optional<std::string_view> SessionCookieIn(std::string_view cookieField);

// A user name and password.
struct NamePassword {
  std::string user;
  std::string password;
};

// The pair of an "Authorization: Basic ..." field; none for another scheme.
// A Basic field that does not decode to "user:password" gives a pair with
// the password empty and valid false.
struct BasicField {
  NamePassword pair;
  bool valid = false;
};
std::optional<BasicField> BasicIn(std::string_view authorization);

// The value of name in an application/x-www-form-urlencoded body, decoded
// ('+' as a space, %XX as that byte); none when the field is absent or
// badly encoded.
std::optional<std::string> FormField(std::string_view body, std::string_view name);

}  // namespace KxrAccess
