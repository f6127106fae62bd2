// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Snapshots: the text as the pages write it, the checks of a file before a
// restore, and the packing of entries into as few calls as the limits allow.
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/json.hpp>
#include <fstream>
#include <sstream>

#include "CliBatch.h"
#include "CliMain.h"
#include "CliSnapshot.h"
#include "Protocol.h"
#include "ResultCodes.h"
#include "Settings.h"

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

TEST(CliSnapshot, ValuesAsThePagesTypeThem) {
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

std::vector<EntryArg> Entries(std::size_t count, uint32_t size, bool write) {
  std::vector<EntryArg> entries(count);
  for (std::size_t i = 0; i < count; ++i)
    entries[i].index = static_cast<uint16_t>(0x3000 + i), entries[i].length = size, entries[i].data.assign(write ? size : 0, 'x');
  return entries;
}

// The fewest calls: the number the tightest limit needs, whatever the order (large: entries of 64 KiB after the rest).
TEST(CliBatch, FewestCallsWithinTheLimits) {
  const struct { bool write; std::size_t count; uint32_t size; std::size_t calls, large; } cases[] = {
      {false, 1, 1048568, 1, 0}, {false, 3, 600000, 3, 0}, {true, 1, 780000, 1, 0}, {true, 300, 1, 1, 0},
      {false, 680, 4, 3, 20}, {true, 680, 4, 3, 20}};
  for (const auto& c : cases) {
    std::vector<EntryArg> entries = Entries(c.count, c.size, c.write), large = Entries(c.large, 65536, c.write);
    entries.insert(entries.end(), large.begin(), large.end());
    std::vector<std::vector<std::size_t>> batches;
    std::string error;
    ASSERT_TRUE(SplitBatches(c.write, entries, batches, error)) << error;
    EXPECT_EQ(batches.size(), c.calls) << entries.size();
    std::vector<bool> seen(entries.size());
    for (const auto& batch : batches) {
      std::vector<EntryArg> call;
      uint64_t area = 0;
      for (std::size_t i : batch) {
        EXPECT_FALSE(seen[i]);
        seen[i] = true;
        call.push_back(entries[i]);
        area += KxrProtocol::kReadRecordSize + entries[i].length;
      }
      EXPECT_LE(call.size(), static_cast<std::size_t>(KxrProtocol::kMaxSubRequests));
      EXPECT_LE(c.write ? 0 : area, static_cast<uint64_t>(KxrProtocol::kMaxEntryLength));
      const std::string envelope = BuildEnvelope(c.write, call);
      EXPECT_LE(envelope.size(), KxrSettings::kBodyLimit);
      EXPECT_EQ(EnvelopeSize(c.write, call.size(), BuildWriteBuffer(c.write, call).size(), ReadLength(c.write, call)),
                envelope.size());
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), true), static_cast<long>(entries.size()));
  }
  std::vector<std::vector<std::size_t>> batches;
  std::string error;
  EXPECT_FALSE(SplitBatches(true, Entries(1, 800000, true), batches, error));  // its Base64 passes 1 MiB
  EXPECT_EQ(error, "0x3000:0x00 is too large for one call");
}

// Outcomes come back in the entries' order, and a call that fails stops the run.
TEST(CliBatch, RunInOrder) {
  std::vector<EntryArg> entries = Entries(330, 70000, false);
  int calls = 0, failAt = 2;
  const Caller echo = [&](bool, const std::vector<EntryArg>& batch, std::vector<EntryResult>& outcomes, std::string&) {
    for (const EntryArg& e : batch) outcomes.push_back(EntryResult{e.index, {}});
    return calls == failAt ? kExitNoAnswer : kExitOk;
  };
  std::vector<EntryResult> outcomes;
  std::string error;
  EXPECT_EQ(RunBatches(echo, false, entries, outcomes, calls, error), kExitNoAnswer);
  EXPECT_EQ(calls, 2);
  entries.resize(20);
  calls = failAt = 0;
  EXPECT_EQ(RunBatches(echo, false, entries, outcomes, calls, error), kExitOk);
  EXPECT_EQ(calls, 2);  // 14 entries of 70000 bytes fill a read area
  for (std::size_t i = 0; i < entries.size(); ++i) EXPECT_EQ(outcomes[i].code, entries[i].index);
}

}  // namespace
}  // namespace KxrCli
