// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Packing entries into calls.
#include "CliBatch.h"

#include <algorithm>
#include <cstdint>

#include "CliStatus.h"
#include "CliValue.h"
#include "Protocol.h"
#include "Settings.h"

namespace KxrCli {
namespace {

// What a batch holds so far.
struct Load {
  std::size_t count = 0;
  uint64_t area = 0;    // the read area the daemon must fill
  uint64_t buffer = 0;  // bytes of the write buffer
};

// The batch with one more entry, if it stays within every limit.
bool Fits(bool write, const Load& load, const EntryArg& entry, Load& grown) {
  grown.count = load.count + 1;
  grown.area = load.area + (write ? KxrProtocol::kWriteRecordSize : KxrProtocol::kReadRecordSize + entry.length);
  grown.buffer = load.buffer + KxrProtocol::kHeaderSize + (write ? entry.data.size() : 0);
  return grown.count <= static_cast<std::size_t>(KxrProtocol::kMaxSubRequests) &&
         grown.area <= static_cast<uint64_t>(KxrProtocol::kMaxEntryLength) &&
         EnvelopeSize(write, grown.count, grown.buffer, static_cast<int32_t>(grown.area)) <= KxrSettings::kBodyLimit;
}

}  // namespace

bool SplitBatches(bool write, const std::vector<EntryArg>& entries, std::vector<std::vector<std::size_t>>& batches,
                  std::string& error) {
  batches.clear();
  std::vector<std::size_t> order(entries.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  const auto weight = [&](std::size_t i) { return write ? entries[i].data.size() : entries[i].length; };
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return weight(a) > weight(b); });
  std::vector<Load> loads;
  for (std::size_t i : order) {
    Load grown;
    std::size_t b = 0;
    while (b < loads.size() && !Fits(write, loads[b], entries[i], grown)) ++b;
    if (b == loads.size()) {
      if (!Fits(write, Load(), entries[i], grown)) {
        error = EntryName(entries[i].index, entries[i].subIndex) + " is too large for one call";
        return false;
      }
      loads.emplace_back();
      batches.emplace_back();
    }
    loads[b] = grown;
    batches[b].push_back(i);
  }
  for (auto& batch : batches) std::sort(batch.begin(), batch.end());
  // The batch with the first entry goes first, and so on: calls follow the
  // entries' order as far as the packing lets them.
  std::sort(batches.begin(), batches.end());
  return true;
}

int RunBatches(const Caller& call, bool write, const std::vector<EntryArg>& entries,
               std::vector<EntryResult>& outcomes, int& calls, std::string& error) {
  outcomes.assign(entries.size(), EntryResult());
  std::vector<std::vector<std::size_t>> batches;
  if (!SplitBatches(write, entries, batches, error)) return kExitUsage;
  for (const auto& positions : batches) {
    std::vector<EntryArg> batch;
    for (std::size_t i : positions) batch.push_back(entries[i]);
    std::vector<EntryResult> got;
    ++calls;
    if (const int status = call(write, batch, got, error)) return status;
    for (std::size_t k = 0; k < positions.size() && k < got.size(); ++k) outcomes[positions[k]] = std::move(got[k]);
  }
  return kExitOk;
}

}  // namespace KxrCli
