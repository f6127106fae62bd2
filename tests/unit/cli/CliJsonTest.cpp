// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// kxr-cli's --json documents: what a script parses for each outcome.
#include <gtest/gtest.h>

#include <tuple>

#include "CliJson.h"
#include "CliReport.h"
#include "Protocol.h"

namespace KxrCli {
namespace {

EntryArg Entry(uint16_t index, uint8_t subIndex, const std::string& type = "") {
  EntryArg entry;
  std::tie(entry.index, entry.subIndex, entry.type) = std::tie(index, subIndex, type);
  return entry;
}

TEST(CliJson, Entries) {
  const std::string kPrefix = "{\"entries\":[{\"index\":4120,\"sub\":1,\"code\":";
  const std::string kOk = "0,\"codeHex\":\"0x00000000\",\"meaning\":\"Success\"";
  // rest: after kPrefix, without "}]}\n".
  const struct { bool write; std::string type; EntryResult outcome; std::string rest; } cases[] = {
      {false, "", {0, "\x78\x56\x34\x12"}, kOk + ",\"bytes\":\"78563412\""},
      {false, "u32", {0, "\x78\x56\x34\x12"}, kOk + ",\"bytes\":\"78563412\",\"value\":305419896"},
      {false, "i16", {0, "\xfe\xff"}, kOk + ",\"bytes\":\"feff\",\"value\":-2"},
      {false, "u64", {0, std::string(8, '\xff')}, kOk + ",\"bytes\":\"ffffffffffffffff\",\"value\":\"18446744073709551615\""},
      {false, "u32", {0, "\x01\x02"}, kOk + ",\"bytes\":\"0102\""},  // not its width: no value
      {false, "text", {0, std::string("a\"\\\n\x7f\xc3\xa9\0\0", 9)},
       kOk + ",\"bytes\":\"61225c0a7fc3a90000\",\"value\":\"a\\\"\\\\\\u000A\\u007F\xc3\xa9\""},
      {false, "text", {0, "a\xff"}, kOk + ",\"bytes\":\"61ff\""},  // not UTF-8: hex only
      {false, "text", {0xECA60301u, ""},
       "3970302721,\"codeHex\":\"0xECA60301\",\"meaning\":\"No such object or sub-index\",\"bytes\":\"\""},
      {true, "", {0, ""}, kOk},
  };
  for (const auto& c : cases)
    EXPECT_EQ(JsonEntries(c.write, {Entry(0x1018, 1, c.type)}, {c.outcome}), kPrefix + c.rest + "}]}\n") << c.rest;
  EXPECT_EQ(JsonEntries(true, {Entry(1, 2), Entry(3, 4)}, {{}, {}}),
            "{\"entries\":[{\"index\":1,\"sub\":2,\"code\":" + kOk + "},{\"index\":3,\"sub\":4,\"code\":" +
                kOk + "}]}\n");
}

TEST(CliJson, FaultAndError) {
  EXPECT_EQ(JsonFault(-324664831, "Unknown \"x\""),
            "{\"fault\":{\"code\":-324664831,\"codeHex\":\"0xECA60201\",\"meaning\":\"" +
                CodeMeaning(0xECA60201u) + "\",\"text\":\"Unknown \\\"x\\\"\"}}\n");
  EXPECT_EQ(JsonError("cannot connect to /x\x01\xff"), "{\"error\":\"cannot connect to /x\\u0001\\uFFFD\"}\n");
}

}  // namespace
}  // namespace KxrCli
