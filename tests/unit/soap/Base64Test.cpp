// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Base64: the fixed rules for malformed text (well-formed text is checked byte for byte by the daemon tests).
#include <gtest/gtest.h>

#include "Base64.h"

TEST(Base64, DecodesMalformedTextByItsFixedRules) {
  const std::pair<std::string, std::string> cases[] = {
      {"TWE", "Ma"},           {"TQ", "M"},          // padding is optional
      {"TWE=TWFu", "Ma"},      {"TQ==TWFu", "M"},    // the first '=' in place 3 or 4 ends it
      {"TW=u", "M"},           {"=QAA", std::string("\x01\0\0", 3)},  // '=' first acts as 'A'
      {"A=AA", std::string(3, '\0')},                 // '=' second as well
      {"TWFu T", ""}, {"TW\r\nFu", ""}, {"TW-u", ""}, {std::string("TW\0u", 4), ""},
      {"T", ""},               {"TWFuT", "Man"},     // a lone last character yields nothing
  };
  for (const auto& [text, bytes] : cases) EXPECT_EQ(Base64::decode(text), bytes) << text;
}
