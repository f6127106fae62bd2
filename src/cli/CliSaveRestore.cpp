// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// save and restore.
#include "CliSaveRestore.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <sstream>

#include "CliExchange.h"
#include "CliJson.h"
#include "CliReport.h"
#include "CliSafeFile.h"
#include "CliStatus.h"
#include "CliValue.h"

namespace KxrCli {

namespace {

std::string Literal(const std::string& text) {
  std::string literal;
  return JsonString(text, literal) ? literal : "\"\"";
}

std::string CodeText(uint32_t code) { return CodeHex(code) + " " + CodeMeaning(code); }

// Bytes as the snapshot shows them, else as hex.
std::string Shown(const std::string& type, const std::string& bytes) {
  std::string value;
  return ShowValue(type, bytes, value) ? value : "hex:" + HexText(bytes);
}

// A value cut for a report line.
std::string Short(const std::string& text) {
  constexpr std::size_t kWidth = 40;
  return text.size() <= kWidth ? text : text.substr(0, kWidth - 3) + "...";
}

enum class Action { kChange, kUnchanged, kReadOnly, kUnknown, kSkipped };

const char* ActionName(Action action) {
  switch (action) {
    case Action::kChange: return "change";
    case Action::kUnchanged: return "unchanged";
    case Action::kReadOnly: return "read-only";
    case Action::kUnknown: return "unknown";
    case Action::kSkipped: return "skipped";
  }
  return "";
}

// One record of the file with what the device holds and what is to be done.
struct Step {
  const SnapshotRecord* record = nullptr;
  const DictEntry* entry = nullptr;  // null when unknown to the device
  Action action = Action::kSkipped;
  EntryResult current;               // the device's value before
  EntryResult written;               // the write's outcome (changes)
  EntryResult readBack;              // the value read back (changes written)
};

// Reads the entries with their dictionary sizes; short answers count as failed.
int ReadSized(const Caller& call, const std::vector<const DictEntry*>& entries, std::vector<EntryResult>& outcomes,
              int& calls, std::string& error) {
  std::vector<EntryArg> args;
  for (const DictEntry* e : entries) {
    EntryArg arg;
    arg.index = e->index;
    arg.subIndex = e->subIndex;
    arg.length = e->size;
    args.push_back(arg);
  }
  const int status = RunBatches(call, false, args, outcomes, calls, error);
  for (std::size_t i = 0; i < outcomes.size(); ++i) outcomes[i] = SizedOutcome(outcomes[i], entries[i]->size);
  return status;
}

std::string PlanLine(const Step& s) {
  const SnapshotRecord& r = *s.record;
  char head[48];
  std::snprintf(head, sizeof head, "%-10s %s  ", ActionName(s.action), EntryName(r.index, r.subIndex).c_str());
  std::string line = head + (s.entry ? s.entry->name : r.name);
  const auto oldNew = [&] {
    return ": " + (s.current.code == 0 ? Short(Shown(s.entry->type, s.current.data)) : "(" + CodeText(s.current.code) + ")") +
           " -> " + Short(Shown(s.entry->type, r.raw));
  };
  switch (s.action) {
    case Action::kChange: return line + oldNew();
    case Action::kUnchanged: return line;
    case Action::kReadOnly: return line + oldNew() + "  (read-only: not written)";
    case Action::kUnknown: return line + "  (not in the device's dictionary: not written)";
    case Action::kSkipped: return line + "  (not read at save: " + CodeText(r.code) + ")";
  }
  return line;
}

std::string PlanJson(const Step& s) {
  const SnapshotRecord& r = *s.record;
  std::string json = "{\"index\":" + std::to_string(r.index) + ",\"sub\":" + std::to_string(r.subIndex) +
                     ",\"name\":" + Literal(s.entry ? s.entry->name : r.name) + ",\"action\":\"" +
                     ActionName(s.action) + "\"";
  if (s.action == Action::kChange || s.action == Action::kReadOnly) {
    json += s.current.code == 0 ? ",\"old\":" + Literal(Shown(s.entry->type, s.current.data))
                                : ",\"oldCode\":" + std::to_string(s.current.code);
    json += ",\"new\":" + Literal(Shown(s.entry->type, r.raw));
  }
  if (s.action == Action::kSkipped) json += "," + JsonCode(r.code);
  return json + "}";
}

// The report of one step: its line and its JSON; false when it is a change
// that was not verified.
bool Report(const Step& s, std::string& line, std::string& json) {
  const SnapshotRecord& r = *s.record;
  const std::string head = EntryName(r.index, r.subIndex) + "  ";
  json = "{\"index\":" + std::to_string(r.index) + ",\"sub\":" + std::to_string(r.subIndex) + ",\"result\":";
  if (s.action != Action::kChange) {
    const char* reason = s.action == Action::kReadOnly ? "read-only"
                       : s.action == Action::kUnknown  ? "unknown to the device"
                                                       : "not read at save";
    line = head + "skipped: " + reason;
    json += std::string("\"skipped\",\"reason\":\"") + reason + "\"}";
    return true;
  }
  if (s.written.code != 0) {
    line = head + "write failed: " + CodeText(s.written.code);
    json += "\"write failed\"," + JsonCode(s.written.code) + "}";
    return false;
  }
  if (s.readBack.code != 0) {
    line = head + "verify mismatch: read back failed: " + CodeText(s.readBack.code);
    json += "\"verify mismatch\"," + JsonCode(s.readBack.code) + "}";
    return false;
  }
  if (s.readBack.data != r.raw) {
    line = head + "verify mismatch: the device holds " + Short(Shown(s.entry->type, s.readBack.data)) + ", the file " +
           Short(Shown(s.entry->type, r.raw));
    json += "\"verify mismatch\",\"read\":" + Literal(Shown(s.entry->type, s.readBack.data)) + "}";
    return false;
  }
  line = head + "written and verified";
  json += "\"verified\"}";
  return true;
}

// A whole file, or standard input for "-"; false and why.
bool ReadWholeFile(const std::string& path, std::string& text, std::string& error) {
  std::ifstream file;
  if (path != "-") file.open(path, std::ios::binary);
  std::istream& in = path == "-" ? std::cin : file;
  if (!in) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream whole;
  whole << in.rdbuf();
  if (in.bad()) {
    error = "cannot read " + path;
    return false;
  }
  text = whole.str();
  return true;
}

}  // namespace

int RunSave(const std::string& program, const Invocation& invocation, const std::vector<DictEntry>& dict,
            const Caller& call, const std::string& taken, std::ostream& out, std::ostream& err) {
  const bool toFile = !invocation.file.empty() && invocation.file != "-";
  const bool json = invocation.json;
  std::string error;
  // Opened before any read: a target that cannot be written costs no calls.
  AtomicFile file;
  if (toFile && !file.Open(invocation.file, error)) return StopRun(program, json, kExitUsage, error, out, err);
  std::vector<const DictEntry*> entries;
  for (const DictEntry& e : dict) entries.push_back(&e);
  std::vector<EntryResult> outcomes;
  int calls = 0;
  if (const int status = ReadSized(call, entries, outcomes, calls, error))
    return StopRun(program, json, status, error, out, err);
  std::size_t failed = 0;
  std::string failures;
  std::ostream& messages = toFile ? out : err;  // stdout is the snapshot's when there is no FILE
  for (std::size_t i = 0; i < dict.size(); ++i) {
    if (outcomes[i].code == 0) continue;
    ++failed;
    EntryArg arg;
    arg.index = dict[i].index;
    arg.subIndex = dict[i].subIndex;
    if (!json) (invocation.partial ? messages : err) << FormatEntryLine(false, arg, outcomes[i]) << "\n";
    failures += std::string(failed == 1 ? "" : ",") + "{\"index\":" + std::to_string(arg.index) +
                ",\"sub\":" + std::to_string(arg.subIndex) + "," + JsonCode(outcomes[i].code) + "}";
  }
  // A save that lacks values must not replace a good file: a service that is
  // gone or stalled fails every entry, and such a file restores nothing.
  if (failed != 0 && !invocation.partial) {
    const std::string why = std::to_string(failed) + " of " + std::to_string(dict.size()) +
                            " entries could not be read: nothing written (--partial writes them with their codes)";
    if (!json) return StopRun(program, false, kExitFailed, why, out, err);
    out << "{\"error\":" << Literal(why) << ",\"failed\":[" << failures << "],\"calls\":" << calls << "}\n";
    return kExitFailed;
  }
  const std::string text = SnapshotText(dict, outcomes, taken);
  if (toFile ? !file.Commit(text, error) : !(out << text).flush())
    return StopRun(program, json, kExitFailed, toFile ? error : "cannot write the snapshot", out, err);
  if (json && toFile)
    out << "{\"file\":" << Literal(invocation.file) << ",\"entries\":" << dict.size() << ",\"failed\":[" << failures
        << "],\"calls\":" << calls << "}\n";
  else if (!json)
    messages << "saved " << dict.size() << " entries to " << (toFile ? invocation.file : "standard output") << " in "
             << calls << (calls == 1 ? " call" : " calls") << ", " << failed << " failed"
             << (failed ? " (marked partial)" : "") << "\n";
  return failed == 0 ? kExitOk : kExitFailed;
}

int RunRestore(const std::string& program, const Invocation& invocation, const std::vector<DictEntry>& dict,
               const std::string& snapshot, const Caller& call, std::ostream& out, std::ostream& err) {
  const bool json = invocation.json;
  std::string error;
  std::vector<SnapshotRecord> records;
  if (!ParseSnapshot(snapshot, dict, records, error)) {
    // One line a fault, each naming the file.
    std::string message;
    for (std::string::size_type at = 0; at != std::string::npos;) {
      const std::string::size_type end = error.find('\n', at);
      if (!message.empty()) message += json ? "; " : "\n" + program + ": ";
      message += invocation.file + ": " + error.substr(at, end == std::string::npos ? end : end - at);
      at = end == std::string::npos ? end : end + 1;
    }
    return StopRun(program, json, kExitUsage, message, out, err);
  }
  // What restore will write (the writable entries) and read (every known
  // entry with a value, then the written ones back) must fit the calls;
  // known before anything is read. A read-only entry is only ever read.
  {
    std::vector<EntryArg> writes, reads;
    for (const SnapshotRecord& r : records)
      if (r.hasRaw && r.dictPos >= 0) {
        EntryArg arg;
        arg.index = r.index;
        arg.subIndex = r.subIndex;
        arg.length = static_cast<uint32_t>(r.raw.size());
        reads.push_back(arg);
        arg.data = r.raw;
        if (dict[static_cast<std::size_t>(r.dictPos)].writable) writes.push_back(arg);
      }
    std::vector<std::vector<std::size_t>> batches;
    if (!SplitBatches(false, reads, batches, error) || !SplitBatches(true, writes, batches, error))
      return StopRun(program, json, kExitUsage, invocation.file + ": " + error, out, err);
  }

  // 2. What the device holds now.
  std::vector<Step> steps(records.size());
  std::vector<const DictEntry*> known;
  std::vector<Step*> knownSteps;
  for (std::size_t i = 0; i < records.size(); ++i) {
    steps[i].record = &records[i];
    if (records[i].dictPos >= 0) steps[i].entry = &dict[static_cast<std::size_t>(records[i].dictPos)];
    if (records[i].hasRaw && steps[i].entry) {
      known.push_back(steps[i].entry);
      knownSteps.push_back(&steps[i]);
    }
  }
  int reads = 0, writes = 0, verifies = 0;
  std::vector<EntryResult> current;
  if (const int status = ReadSized(call, known, current, reads, error))
    return StopRun(program, json, status, error, out, err);
  for (std::size_t k = 0; k < knownSteps.size(); ++k) knownSteps[k]->current = current[k];

  // 3. The plan.
  std::size_t counts[5] = {};
  std::string planJson;
  for (Step& s : steps) {
    const SnapshotRecord& r = *s.record;
    if (!r.hasRaw) s.action = Action::kSkipped;
    else if (!s.entry) s.action = Action::kUnknown;
    else if (s.current.code == 0 && s.current.data == r.raw) s.action = Action::kUnchanged;
    else s.action = s.entry->writable ? Action::kChange : Action::kReadOnly;
    ++counts[static_cast<int>(s.action)];
    planJson += (planJson.empty() ? "" : ",") + PlanJson(s);
  }
  if (!json) {
    out << "plan: " << counts[0] << " to change, " << counts[1] << " unchanged, " << counts[2]
        << " read-only differ, " << counts[3] << " unknown to the device, " << counts[4] << " skipped\n";
    for (const Step& s : steps) out << "  " << PlanLine(s) << "\n";
  }
  const auto callsJson = [&] {
    return "\"calls\":{\"read\":" + std::to_string(reads) + ",\"write\":" + std::to_string(writes) +
           ",\"verify\":" + std::to_string(verifies) + "}";
  };
  // A file of records that were never read, or of entries this device
  // lacks, restores nothing: that is a failure, not a success.
  if (counts[0] + counts[1] + counts[2] == 0) {
    const std::string why = invocation.file + ": nothing can be restored: " + std::to_string(counts[4]) +
                            " records not read at save, " + std::to_string(counts[3]) + " unknown to the device";
    if (!json) return StopRun(program, false, kExitFailed, why, out, err);
    out << "{\"plan\":[" << planJson << "],\"report\":[]," << callsJson() << ",\"error\":" << Literal(why) << "}\n";
    return kExitFailed;
  }
  if (invocation.dryRun) {
    if (json)
      out << "{\"plan\":[" << planJson << "],\"report\":[]," << callsJson() << ",\"dryRun\":true}\n";
    else
      out << "dry run: nothing written\n";
    return kExitOk;
  }

  // 4. The writable entries that differ, and 5. what they hold afterwards.
  std::vector<EntryArg> changes;
  std::vector<Step*> changeSteps;
  for (Step& s : steps)
    if (s.action == Action::kChange) {
      EntryArg arg;
      arg.index = s.record->index;
      arg.subIndex = s.record->subIndex;
      arg.length = static_cast<uint32_t>(s.record->raw.size());
      arg.data = s.record->raw;
      changes.push_back(arg);
      changeSteps.push_back(&s);
    }
  std::vector<EntryResult> written;
  if (const int status = RunBatches(call, true, changes, written, writes, error))
    return StopRun(program, json, status,
                   error + "; the restore stopped with some entries perhaps written: run it again", out, err);
  std::vector<const DictEntry*> toVerify;
  std::vector<Step*> verifySteps;
  for (std::size_t k = 0; k < changeSteps.size(); ++k) {
    changeSteps[k]->written = written[k];
    if (written[k].code == 0) {
      toVerify.push_back(changeSteps[k]->entry);
      verifySteps.push_back(changeSteps[k]);
    }
  }
  std::vector<EntryResult> readBack;
  if (const int status = ReadSized(call, toVerify, readBack, verifies, error))
    return StopRun(program, json, status, error + "; the entries are written but not verified", out, err);
  for (std::size_t k = 0; k < verifySteps.size(); ++k) verifySteps[k]->readBack = readBack[k];

  std::size_t verified = 0, failed = 0, mismatched = 0, skipped = 0;
  std::string reportJson;
  for (const Step& s : steps) {
    if (s.action == Action::kUnchanged) continue;
    std::string line, item;
    const bool ok = Report(s, line, item);
    if (s.action != Action::kChange) ++skipped;
    else if (ok) ++verified;
    else if (s.written.code != 0) ++failed;
    else ++mismatched;
    if (!json) out << line << "\n";
    reportJson += (reportJson.empty() ? "" : ",") + item;
  }
  if (json)
    out << "{\"plan\":[" << planJson << "],\"report\":[" << reportJson << "]," << callsJson() << "}\n";
  else
    out << "restore: " << verified << " written and verified, " << failed << " write failed, " << mismatched
        << " verify mismatch, " << skipped << " skipped, " << counts[1] << " unchanged\n";
  return failed == 0 && mismatched == 0 ? kExitOk : kExitFailed;
}

int RunSaveRestore(const std::string& program, const Invocation& invocation, const Endpoint& endpoint,
                   std::ostream& out, std::ostream& err) {
  const bool json = invocation.json;
  std::string error, snapshot, text;
  // restore reads its file first: a missing one costs no exchange.
  if (invocation.command == Invocation::Command::kRestore && !ReadWholeFile(invocation.file, snapshot, error))
    return StopRun(program, json, kExitUsage, error, out, err);
  int badDictionary = kExitUsage;
  std::string source = invocation.dictionaryFile;
  if (!invocation.dictionaryFile.empty()) {
    if (!ReadWholeFile(invocation.dictionaryFile, text, error))
      return StopRun(program, json, kExitUsage, error, out, err);
  } else {
    if (const int status = GetDictionary(endpoint, text, source, error))
      return StopRun(program, json, status, error, out, err);
    badDictionary = kExitNoAnswer;
  }
  std::vector<DictEntry> dict;
  if (!ParseDictionary(text, dict, error))
    return StopRun(program, json, badDictionary, "dictionary " + source + ": " + error, out, err);
  const Caller call = [&endpoint](bool write, const std::vector<EntryArg>& batch, std::vector<EntryResult>& outcomes,
                                  std::string& why) { return CallBatch(endpoint, write, batch, outcomes, why); };
  if (invocation.command == Invocation::Command::kSave)
    return RunSave(program, invocation, dict, call, TakenText(std::time(nullptr)), out, err);
  return RunRestore(program, invocation, dict, snapshot, call, out, err);
}

}  // namespace KxrCli
