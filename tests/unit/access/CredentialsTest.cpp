// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The proofs a request offers, read from its text: the session cookie, Basic, the sign-in form.
#include "Credentials.h"

#include <gtest/gtest.h>

using namespace KxrAccess;

namespace {

TEST(Credentials, SessionCookie) {
  for (const auto& [field, value] : std::initializer_list<std::pair<const char*, const char*>>{
           {"__Host-kxr-session=abc", "abc"},
           {"a=1;  __Host-kxr-session=abc ; b=2", "abc"},
           {"x__Host-kxr-session=abc", nullptr},
           {"__host-kxr-session=abc", nullptr},  // names are exact
           {"__Host-kxr-sessions=abc", nullptr},
           {"", nullptr}}) {
    const auto got = SessionCookieIn(field);
    EXPECT_EQ(got.has_value(), value != nullptr) << field;
    if (got && value) {
      EXPECT_EQ(*got, value) << field;
    }
  }
}

TEST(Credentials, Basic) {
  struct Row {
    const char* field;
    bool basic, valid;
    const char* user;
    const char* password;
  };
  for (const Row& row : {Row{"Basic b3R0bzpvcCA6cGFzcw==", true, true, "otto", "op :pass"},  // otto:op :pass
                         Row{"  bAsIc   b3R0bzo= ", true, true, "otto", ""},                 // otto:
                         Row{"Basic b3R0bw==", true, false, "otto", ""},                     // no ':'
                         Row{"Basic OnB3", true, false, "", ""},                             // :pw, no name
                         Row{"Basic !!!", true, false, "", ""},
                         Row{"Bearer b3R0bzo=", false, false, "", ""},
                         Row{"Basic", false, false, "", ""}}) {
    const auto got = BasicIn(row.field);
    ASSERT_EQ(got.has_value(), row.basic) << row.field;
    if (!got) continue;
    EXPECT_EQ(got->valid, row.valid) << row.field;
    if (row.valid) {
      EXPECT_EQ(got->pair.user + "|" + got->pair.password, std::string(row.user) + "|" + row.password);
    }
  }
}

TEST(Credentials, FormFields) {
  const std::string body = "user=Ann+Lee%C3%a9&password=a%26b%3D+c&x=&bad=%4";
  EXPECT_EQ(FormField(body, "user"), "Ann Lee\xC3\xA9");
  EXPECT_EQ(FormField(body, "password"), "a&b= c");
  EXPECT_EQ(FormField(body, "x"), "");
  EXPECT_FALSE(FormField(body, "bad"));
  EXPECT_FALSE(FormField(body, "use"));
  EXPECT_FALSE(FormField("password=x", "user"));
}

}  // namespace
