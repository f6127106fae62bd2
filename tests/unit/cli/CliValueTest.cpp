// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Values as the pages type them and show them.
#include <gtest/gtest.h>

#include "CliValue.h"

namespace KxrCli {
namespace {

TEST(CliValue, ValuesAsThePagesTypeThem) {
  // bytes empty: refused.
  const struct { const char* type; uint32_t size; const char* text; std::string bytes; } cases[] = {
      {"i16", 2, "-2", "\xfe\xff"}, {"i8", 1, "-129", ""}, {"u64", 8, "18446744073709551615", std::string(8, '\xff')},
      {"u64", 8, "18446744073709551616", ""}, {"u16", 2, "0x1234", "\x34\x12"}, {"u8", 1, "-0", ""},
      {"bytes", 4, " 00*3 AB ", std::string("\0\0\0\xab", 4)}, {"bytes", 2, "ABC", ""},
      {"text", 4, " a", std::string(" a\0\0", 4)} /* a text's blanks are its own */, {"text", 2, "abc", ""},
  };
  for (const auto& c : cases) {
    std::string bytes, error;
    EXPECT_EQ(ParseShownValue(c.type, c.text, c.size, bytes, error), !c.bytes.empty()) << c.text;
    EXPECT_EQ(bytes, c.bytes) << c.text;
  }
  std::string value;
  EXPECT_FALSE(ShowValue("text", std::string("ab\0c", 4), value));  // something after the padding
  EXPECT_FALSE(ShowValue("text", "a\x7f", value));
}

}  // namespace
}  // namespace KxrCli
