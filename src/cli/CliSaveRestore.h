// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// `kxr-cli save` and `kxr-cli restore`: a device's whole configuration into
// a snapshot file and back, over as few calls as the limits allow.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "CliArgs.h"
#include "CliBatch.h"
#include "CliSnapshot.h"
#include "CliTransport.h"

namespace KxrCli {

// save or restore over the endpoint: the dictionary from
// invocation.dictionaryFile or the daemon, then the command.
int RunSaveRestore(const std::string& program, const Invocation& invocation, const Endpoint& endpoint,
                   std::ostream& out, std::ostream& err);

// Reads every entry of the dictionary and writes the snapshot taken at
// `taken` to invocation.file (through a temporary file, on disk before it is
// renamed over the old one) or to out. 0 when every entry was read, 1 when some failed (all listed; the
// snapshot is written, marked partial, only with invocation.partial), else
// the status of what stopped it.
int RunSave(const std::string& program, const Invocation& invocation, const std::vector<DictEntry>& dict,
            const Caller& call, const std::string& taken, std::ostream& out, std::ostream& err);

// Checks the snapshot text against the dictionary (2 and nothing read or
// written at a fault), reads the device, prints the plan, and unless a dry
// run writes the writable entries that differ and reads them back. 0 only
// when every changed entry was written and verified, and the file held
// something to restore (1 when every record is skipped or unknown).
int RunRestore(const std::string& program, const Invocation& invocation, const std::vector<DictEntry>& dict,
               const std::string& snapshot, const Caller& call, std::ostream& out, std::ostream& err);

}  // namespace KxrCli
