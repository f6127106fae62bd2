// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The text search for parameters and their conversions (the documents are checked byte for byte by the daemon tests).
#include <gtest/gtest.h>

#include <array>

#include "KXRWeb.h"
#include "Soap.h"

namespace {

// A body whose ReadWrite call holds one element with the given text.
std::string Call(const std::string& name, const std::string& text) {
  return "<u:ReadWrite><" + name + ">" + text + "</" + name + "></u:ReadWrite>";
}

TEST(SoapParse, FindsTheElementAfterTheAnchorOnly) {
  const struct { const char *body, *name; int found; std::string value; } cases[] = {
      {"<nPort>1</nPort>", "nPort", 0, ""},                                  // no anchor
      {"<m:ReadWrite><nPort>1</nPort></m:ReadWrite>", "nPort", 0, ""},        // other prefix
      {"<u:ReadWrite xmlns:u=\"urn:x\"><nPort>5</nPort>", "nPort", 1, "5"},  // attributes
      {"<nPort>1</nPort><u:ReadWrite></u:ReadWrite>", "nPort", 0, ""},        // before anchor
      {"<u:ReadWrite/><nPort>2</nPort>", "nPort", 1, "2"},                   // after its end
      {"<u:ReadWrite><cbRdLen/></u:ReadWrite>", "cbRdLen", 1, ""},            // empty element
      {"<u:ReadWrite><netId \r\n/><netId>1</netId>", "netId", 1, ""},       // first wins
      {"<u:ReadWrite><netIdX/><netId / ><netId>3</netId>", "netId", 1, "3"},  // not empty tags
      {"<u:ReadWrite><x>1<x/></x>", "x", 1, "1<x/>"},                         // close after open
      {"<u:ReadWrite><nPort>1", "nPort", 0, ""},                              // not closed
      {"<u:ReadWrite><a>1</a><a>2</a>", "a", 1, "1"},                         // first wins
      {"<u:ReadWrite><a>1<a>2</a></a>", "a", 1, "1<a>2"},                     // first close
      {"<u:ReadWrite><netIdX>1</netIdX><netId>2</netId>", "netId", 1, "2"},   // whole name
      {"<u:ReadWrite><pwrData>AAEC\r\n</pwrData>", "pwrData", 1, "AAEC\r\n"},  // verbatim
      {"<u:ReadWrite><x>&amp; <![CDATA[y]]></x>", "x", 1, "&amp; <![CDATA[y]]>"},
      {"<u:ReadWrite><x></x>", "x", 1, ""},
  };
  for (const auto& c : cases) {
    std::string value = "untouched";
    EXPECT_EQ(CSoap::ParseParameter(c.body, c.name, value), c.found) << c.body;
    EXPECT_EQ(value, c.found ? c.value : "untouched") << c.body;
  }
  std::string value;
  EXPECT_EQ(std::to_string(CSoap::ParseParameter(std::string("<u:ReadWrite>\0<x>a\0b</x>", 24), "x", value)) + value,
            std::string("1a\0b", 4));
}

TEST(SoapParse, ConvertsNumbersLikeAtoi) {
  const std::pair<const char*, int> cases[] = {
      {" 1234", 1234}, {"1234 ", 1234}, {"\n\t-42x", -42}, {"+7", 7}, {"x", 0},
      {"", 0},         {"61568", 61568}, {"0xF080", 0},     {"- 5", 0},
      {"99999999999999999999", -1}};  // strtol's saturation at LONG_MAX, then the low 32 bits
  for (const auto& [text, expected] : cases) {
    int value = -99;
    EXPECT_EQ(CSoap::ParseParameter(Call("n", text), "n", value) * 1000000 + value, 1000000 + expected) << text;
  }
  unsigned short port = 7;
  EXPECT_EQ(CSoap::ParseParameter(Call("n", "-1"), "n", port) * 100000 + port, 165535);
  EXPECT_EQ(CSoap::ParseParameter(Call("n", "65536"), "n", port) * 100000 + port, 100000);
  port = 9;
  EXPECT_EQ(CSoap::ParseParameter("<n>1</n>", "n", port) * 100000 + port, 9);  // untouched when not found
}

TEST(SoapParse, ReadsTheNetIdAsDottedDecimal) {
  using Bytes = std::array<int, 6>;
  const std::pair<const char*, Bytes> cases[] = {
      {"7.8.9.10.11.12", {7, 8, 9, 10, 11, 12}},
      {"", {0, 0, 0, 0, 0, 0}},
      {"1.2.3", {1, 2, 3, 0xAA, 0xAA, 0xAA}},               // the rest stays
      {"256.-1. 3x..5.", {0, 255, 3, 0, 5, 0xAA}},          // low byte, empty component
      {".1", {0, 1, 0xAA, 0xAA, 0xAA, 0xAA}},
      {"1.2.3.4.5.6.7.8", {1, 2, 3, 4, 5, 6}},              // beyond six: ignored
      {"99999999999.-99999999999", {255, 0, 0xAA, 0xAA, 0xAA, 0xAA}},  // saturated
  };
  for (const auto& [text, expected] : cases) {
    RvtAddr addr{{{0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}}, 0xBEEF};
    EXPECT_EQ(CSoap::ParseParameter(Call("netId", text), "netId", addr.netId), 1);
    const auto* b = addr.netId.b;
    EXPECT_EQ(Bytes({b[0], b[1], b[2], b[3], b[4], b[5]}), expected) << text;
    EXPECT_EQ(addr.port, 0xBEEF) << text;
  }
}

// Clients match the fault texts as they are: each is pinned byte for byte here, not taken from the code table.
TEST(SoapFault, CarriesEachCodesFixedText) {
  const std::pair<unsigned, const char*> cases[] = {
      {0, "Success"}, {0xA03D0001, "Unspecific error"}, {0xA03D0002, "Invalid HTTP method (POST required)"},
      {0xA03D0003, "Invalid SOAP message"}, {0xA03D0004, "Invalid content-type (text/xml required)"},
      {0xA03D0005, "Maximum length of SOAP message reached"}, {0xA03D0100, "Out of memory"},
      {0xA03D0101, "Readbuffer too small"}, {0xA03D0102, "Invalid writebuffer"}, {0xA03D0103, "Out of range"},
      {0xA03D0104, "Invalid argument"}, {0xA03D0105, "Maximum amount of subcommands reached"},
      {0xA03D0106, "Maximum length of readbuffer reached"}, {0xA03D0107, "Maximum length of writebuffer reached"},
      {0xA03D01FF, "Unknown error"}, {0xECA60301, "Unknown error"}};  // the client's codes: meanings for people only
  for (const auto& [code, text] : cases) EXPECT_EQ(CKXRWeb::KXRWebErrCodeToErrMsg(static_cast<int>(code)), text) << code;
}

}  // namespace
