// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The snapshot of a device's entries: the file that `kxr-cli save` writes
// and `kxr-cli restore` reads.
//
// The text is laid out exactly as the device pages write the same snapshot
// (two-space indent, fixed key order), so that a file from either is
// byte for byte the same for the same device and time.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "CliCall.h"
#include "CliDictionary.h"

namespace KxrCli {

inline constexpr char kSnapshotFormat[] = "kxr-snapshot";
inline constexpr int kSnapshotVersion = 1;

// A read's outcome against the size asked: fewer bytes than the entry's size
// count as failed (WrongLength), so that a snapshot never holds a short value.
EntryResult SizedOutcome(const EntryResult& outcome, uint32_t size);

// "2026-12-07T10:30:00Z".
std::string TakenText(std::time_t when);
// The whole snapshot text of the dictionary's entries and their read
// outcomes (one per entry, in order), taken at `taken`; "partial": true in
// its device object when an entry failed.
std::string SnapshotText(const std::vector<DictEntry>& dict, const std::vector<EntryResult>& outcomes,
                         const std::string& taken);

// One record of a snapshot being restored.
struct SnapshotRecord {
  uint16_t index = 0;
  uint8_t subIndex = 0;
  std::string name;
  bool hasRaw = false;   // false: the entry was not read at save time
  std::string raw;       // the bytes to restore
  uint32_t code = 0;     // the save's code when !hasRaw
  long dictPos = -1;     // its place in the device's dictionary, -1 when unknown to the device
};

// Checks a whole snapshot against the device's dictionary; false and the
// faults, one a line ("0x2000:0x01: size 4 differs from the device's 2"):
// every faulty record, or the one fault of the document as a whole.
bool ParseSnapshot(const std::string& text, const std::vector<DictEntry>& dict, std::vector<SnapshotRecord>& records,
                   std::string& error);

}  // namespace KxrCli
