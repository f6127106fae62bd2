// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The packing of entries into as few calls as the limits allow.
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/json.hpp>
#include <fstream>
#include <sstream>

#include "CliBatch.h"
#include "CliStatus.h"
#include "Protocol.h"
#include "Settings.h"

namespace KxrCli {
namespace {

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

// The rows of tests/support/batch/packing.json, the pages' rule too (tests/node): entries' sizes -> their calls.
TEST(CliBatch, OneRuleWithThePages) {
  namespace json = boost::json;
  std::ostringstream text;
  text << std::ifstream(std::string(KXR_SOURCE_DIR) + "/tests/support/batch/packing.json").rdbuf();
  const json::value table = json::parse(text.str());
  for (const json::value& row : table.as_array()) {
    const bool write = row.at("write").as_bool();
    std::vector<EntryArg> entries;
    for (const json::value& size : row.at("sizes").as_array())
      entries.push_back(Entries(1, static_cast<uint32_t>(size.as_int64()), write)[0]);
    std::vector<std::vector<std::size_t>> batches;
    std::string error;
    EXPECT_TRUE(SplitBatches(write, entries, batches, error)) << error;
    EXPECT_EQ(batches, (json::value_to<std::vector<std::vector<std::size_t>>>(row.at("calls")))) << row.at("why");
  }
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
