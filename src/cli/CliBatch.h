// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Many entries over as few calls as the daemon's limits allow: at most 300
// entries a call, a read area of at most 1 MiB and a request body of at
// most 1 MiB.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "CliArgs.h"
#include "CliCall.h"

namespace KxrCli {

// One call of a batch: the outcome of each entry, or a status other than 0
// (kExitFailed for a fault, kExitNoAnswer for no usable answer) and why.
using Caller = std::function<int(bool write, const std::vector<EntryArg>& batch, std::vector<EntryResult>& outcomes,
                                 std::string& error)>;

// Splits the entries into batches within the limits, as the positions of
// their entries (ascending within a batch). The largest entries are placed
// first, each into the first batch with room, so that large and small ones
// share calls. False and why when an entry does not fit a call on its own.
bool SplitBatches(bool write, const std::vector<EntryArg>& entries, std::vector<std::vector<std::size_t>>& batches,
                  std::string& error);

// Runs the entries in batches, outcomes in the entries' order; calls counts
// the calls made. Stops at the first call that is not answered with a result.
int RunBatches(const Caller& call, bool write, const std::vector<EntryArg>& entries,
               std::vector<EntryResult>& outcomes, int& calls, std::string& error);

}  // namespace KxrCli
