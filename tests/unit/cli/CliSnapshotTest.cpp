// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Snapshots: the text as the pages write it, and the checks of a file
// before a restore.
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/json.hpp>
#include <fstream>
#include <sstream>

#include "CliSnapshot.h"
#include "ResultCodes.h"

namespace KxrCli {
namespace {

std::string Slurp(const std::string& relative) {
  std::ifstream in(std::string(KXR_SOURCE_DIR) + "/" + relative, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<DictEntry> Dictionary(const std::string& relative) {
  std::vector<DictEntry> dict;
  std::string error;
  EXPECT_TRUE(ParseDictionary(Slurp(relative), dict, error)) << error;
  return dict;
}

const std::string kSample = "tests/support/snapshot/sample-snapshot.json";
const std::string kSampleDictionary = "tests/support/snapshot/sample-dictionary.json";

// A value delivered short is a failed entry, never a short value. (The sample file byte for byte: the
// daemon's snapshot table, saved from the simulator.)
TEST(CliSnapshot, ShortValueFails) { EXPECT_EQ(SizedOutcome(EntryResult{0, "ab"}, 4).code, KxrResult::WrongLength); }

// The rows of tests/support/snapshot/records.json, the pages' rules too (tests/node): "top" fields set (null: removed)
// in the sample, "record" in place of its entry's (else added), "add" added, "text" a file, "dictionary" one alone.
TEST(CliSnapshot, OneRuleSetWithThePages) {
  namespace json = boost::json;
  const std::vector<DictEntry> dict = Dictionary(kSampleDictionary);
  const json::value sample = json::parse(Slurp(kSample));
  const json::value table = json::parse(Slurp("tests/support/snapshot/records.json"));
  for (const json::value& row : table.as_array()) {
    const json::object& r = row.as_object();
    const std::string why(r.at("why").as_string());
    std::string error;
    bool valid = false;
    if (const json::value* d = r.if_contains("dictionary")) {
      std::vector<DictEntry> parsed;
      valid = ParseDictionary(json::serialize(*d), parsed, error);
    } else {
      json::value doc = sample;
      json::object& top = doc.as_object();
      if (const json::value* fields = r.if_contains("top"))
        for (const auto& field : fields->as_object())
          field.value().is_null() ? static_cast<void>(top.erase(field.key())) : static_cast<void>(top[field.key()] = field.value());
      json::array none;  // "entries" that are no list take no record
      json::array& entries = top["entries"].is_array() ? top["entries"].as_array() : none;
      if (const json::value* record = r.if_contains("record")) {
        auto same = std::find_if(entries.begin(), entries.end(), [&](const json::value& e) {
          return e.at("index") == record->at("index") && e.at("sub") == record->at("sub");
        });
        same == entries.end() ? static_cast<void>(entries.push_back(*record)) : static_cast<void>(*same = *record);
      }
      if (const json::value* added = r.if_contains("add")) entries.push_back(*added);
      std::vector<SnapshotRecord> records;
      valid = ParseSnapshot(r.contains("text") ? std::string(r.at("text").as_string()) : json::serialize(doc), dict,
                            records, error);
    }
    EXPECT_EQ(valid, r.at("valid").as_bool()) << why << ": " << error;
    const std::string fault = r.contains("fault") ? std::string(r.at("fault").as_string()) : "";
    EXPECT_EQ(error.substr(0, fault.size()), fault) << why;
  }
}

TEST(CliSnapshot, EveryFaultyRecordNamed) {
  const std::vector<DictEntry> dict = Dictionary(kSampleDictionary);
  const std::string sample = Slurp(kSample);
  std::string text = sample;
  text.replace(text.find("\"raw\": \"01\""), 11, "\"raw\": \"0102\"");
  text.replace(text.find("\"size\": 4"), 9, "\"size\": 3");
  std::vector<SnapshotRecord> records;
  std::string error;
  EXPECT_FALSE(ParseSnapshot(text, dict, records, error));
  EXPECT_EQ(error, "0x1000:0x00: size 3 differs from the device's 4\n0x2000:0x03: \"raw\" holds 2 bytes, not 1");
}

}  // namespace
}  // namespace KxrCli
