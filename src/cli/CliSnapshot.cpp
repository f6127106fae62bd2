// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Snapshots: read with Boost.JSON, written as the pages write them.
#include "CliSnapshot.h"

#include <cstdio>
#include <set>
#include <utility>

#include "CliJsonFile.h"
#include "CliValue.h"
#include "ResultCodes.h"

namespace KxrCli {
namespace {

namespace json = boost::json;

// One record of a snapshot, the n-th, checked against the dictionary; false
// and the fault when it has one.
bool ReadRecord(const json::value& v, std::size_t n, const std::vector<DictEntry>& dict,
                std::set<std::pair<unsigned, unsigned>>& seen, SnapshotRecord& record, std::string& error) {
  const json::object* e = v.if_object();
  const json::string *index = e ? StringField(*e, "index") : nullptr, *sub = e ? StringField(*e, "sub") : nullptr;
  unsigned i = 0, s = 0;
  if (!index || !ParseHexField(std::string(*index), 4, i) || !sub || !ParseHexField(std::string(*sub), 2, s)) {
    error = "record " + std::to_string(n + 1) + ": \"index\" and \"sub\" are \"0x\" and 4 or 2 hex digits";
    return false;
  }
  record.index = static_cast<uint16_t>(i);
  record.subIndex = static_cast<uint8_t>(s);
  const std::string where = EntryName(record.index, record.subIndex) + ": ";
  if (!seen.emplace(i, s).second) {
    error = where + "given twice";
    return false;
  }
  if (const json::string* name = StringField(*e, "name")) record.name = std::string(*name);
  for (std::size_t k = 0; k < dict.size(); ++k)
    if (dict[k].index == record.index && dict[k].subIndex == record.subIndex) record.dictPos = static_cast<long>(k);
  if (e->contains("code")) {
    int64_t code = 0;
    if (!IntegerField(*e, "code", 0, UINT32_MAX, code)) {
      error = where + "\"code\" is not an unsigned 32-bit number";
      return false;
    }
    record.code = static_cast<uint32_t>(code);
    return true;
  }
  const json::string* raw = StringField(*e, "raw");
  if (!raw || !DecodeRawHex(std::string(*raw), record.raw)) {
    error = where + (raw ? "\"raw\" is not hex" : "neither \"raw\" nor \"code\"");
    return false;
  }
  record.hasRaw = true;
  if (record.dictPos >= 0) {
    const DictEntry& d = dict[static_cast<std::size_t>(record.dictPos)];
    const json::string* type = StringField(*e, "type");
    int64_t size = 0;
    if (!type || *type != d.type) {
      error = where + "type " + (type ? std::string(*type) : std::string("(none)")) + " differs from the device's " +
              d.type;
      return false;
    }
    if (!IntegerField(*e, "size", 0, INT64_MAX, size) || size != d.size) {
      error = where + "size " + (e->contains("size") ? json::serialize(e->at("size")) : std::string("(none)")) +
              " differs from the device's " + std::to_string(d.size);
      return false;
    }
    if (record.raw.size() != d.size) {
      error = where + "\"raw\" holds " + std::to_string(record.raw.size()) + " bytes, not " + std::to_string(d.size);
      return false;
    }
    if (const json::value* value = e->if_contains("value")) {
      std::string bytes, why;
      if (!value->is_string() || !ParseShownValue(d.type, std::string(value->get_string()), d.size, bytes, why)) {
        error = where + "\"value\" does not fit: " + (value->is_string() ? why : "not a string");
        return false;
      }
      if (bytes != record.raw) {
        error = where + "\"value\" " + json::serialize(*value) + " differs from \"raw\" " + std::string(*raw);
        return false;
      }
    }
  }
  return true;
}

}  // namespace

EntryResult SizedOutcome(const EntryResult& outcome, uint32_t size) {
  if (outcome.code == 0 && outcome.data.size() < size) return EntryResult{KxrResult::WrongLength, {}};
  return outcome;
}

std::string TakenText(std::time_t when) {
  std::tm parts{};
  gmtime_r(&when, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::string SnapshotText(const std::vector<DictEntry>& dict, const std::vector<EntryResult>& outcomes,
                         const std::string& taken) {
  // The shown value of a dictionary entry that was read, when it has one.
  const auto valueOf = [&](uint16_t index, uint8_t subIndex, std::string& value) {
    for (std::size_t i = 0; i < dict.size() && i < outcomes.size(); ++i)
      if (dict[i].index == index && dict[i].subIndex == subIndex)
        return outcomes[i].code == 0 && ShowValue(dict[i].type, outcomes[i].data, value);
    return false;
  };
  std::string out;
  ObjectWriter top(out, 0);
  top.Text("format", kSnapshotFormat);
  top.Raw("version", std::to_string(kSnapshotVersion));
  top.Text("taken", taken);
  std::string device, value;
  ObjectWriter deviceWriter(device, 1);
  deviceWriter.Raw("name", valueOf(0x1008, 0x00, value) ? Quote(value) : "null");
  std::string identity;
  ObjectWriter identityWriter(identity, 2);
  const char* const kIdentity[] = {"maker", "product", "revision", "serial"};
  for (uint8_t sub = 1; sub <= 4; ++sub)
    if (valueOf(0x1018, sub, value)) identityWriter.Text(kIdentity[sub - 1], value);
  identityWriter.Close();
  deviceWriter.Raw("identity", identity);
  // A file that lacks some values says so where a reader looks first; a
  // whole one has no such key, as before.
  for (std::size_t i = 0; i < dict.size(); ++i)
    if (i >= outcomes.size() || outcomes[i].code != 0) {
      deviceWriter.Raw("partial", "true");
      break;
    }
  deviceWriter.Close();
  top.Raw("device", device);
  std::string entries = dict.empty() ? "[]" : "[";
  for (std::size_t i = 0; i < dict.size(); ++i) {
    const DictEntry& e = dict[i];
    const EntryResult outcome = i < outcomes.size() ? outcomes[i] : EntryResult{KxrResult::NoSuchEntry, {}};
    std::string record;
    ObjectWriter r(record, 2);
    char index[8], sub[8];
    std::snprintf(index, sizeof index, "0x%04X", e.index);
    std::snprintf(sub, sizeof sub, "0x%02X", e.subIndex);
    r.Text("index", index);
    r.Text("sub", sub);
    r.Text("name", e.name);
    r.Text("type", e.type);
    r.Raw("size", std::to_string(e.size));
    r.Raw("writable", e.writable ? "true" : "false");
    if (outcome.code == 0) {
      if (ShowValue(e.type, outcome.data, value)) r.Text("value", value);
      r.Text("raw", HexText(outcome.data));
    } else {
      r.Raw("code", std::to_string(outcome.code));
      r.Text("codeHex", CodeHex(outcome.code));
    }
    r.Close();
    entries += (i == 0 ? "\n    " : ",\n    ") + record;
  }
  if (!dict.empty()) entries += "\n  ]";
  top.Raw("entries", entries);
  top.Close();
  return out + "\n";
}

bool ParseSnapshot(const std::string& text, const std::vector<DictEntry>& dict, std::vector<SnapshotRecord>& records,
                   std::string& error) {
  records.clear();
  json::value doc;
  if (!ParseJson(text, doc, error)) return false;
  const json::object* top = doc.if_object();
  const json::string* format = top ? StringField(*top, "format") : nullptr;
  if (!format || *format != kSnapshotFormat) {
    error = std::string("not a snapshot: \"format\" is not \"") + kSnapshotFormat + "\"";
    return false;
  }
  int64_t version = 0;
  if (!IntegerField(*top, "version", 1, INT64_MAX, version)) {
    error = "\"version\" is not a whole number of 1 or more";
    return false;
  }
  if (version > kSnapshotVersion) {
    error = "snapshot version " + std::to_string(version) + " is newer than this reader (" +
            std::to_string(kSnapshotVersion) + ")";
    return false;
  }
  const json::value* entries = top->if_contains("entries");
  if (!entries || !entries->is_array()) {
    error = "\"entries\" is not a list";
    return false;
  }
  // Every faulty record is named, not only the first.
  std::set<std::pair<unsigned, unsigned>> seen;
  std::string faults;
  for (std::size_t n = 0; n < entries->get_array().size(); ++n) {
    SnapshotRecord record;
    if (ReadRecord(entries->get_array()[n], n, dict, seen, record, error))
      records.push_back(std::move(record));
    else
      faults += (faults.empty() ? "" : "\n") + error;
  }
  error = faults;
  return faults.empty();
}

}  // namespace KxrCli
