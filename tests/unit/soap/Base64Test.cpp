// Base64 by the RFC vectors, and the fixed rules for malformed text.
#include <gtest/gtest.h>

#include "Base64.h"

TEST(Base64, EncodesAndDecodesTheRfcVectors) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""},         {"f", "Zg=="},        {"fo", "Zm8="},       {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
  for (const auto& [bytes, text] : vectors) {
    EXPECT_EQ(Base64::encode(bytes), text);
    EXPECT_EQ(Base64::decode(text), bytes) << text;
  }
  EXPECT_EQ(Base64::encode(std::string("\0\xff\0", 3)), "AP8A");
  EXPECT_EQ(Base64::decode("AP8A"), std::string("\0\xff\0", 3));
}

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
