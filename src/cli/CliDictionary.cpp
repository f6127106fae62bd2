// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Reading a device's dictionary.
#include "CliDictionary.h"

#include <set>
#include <utility>

#include "CliJsonFile.h"
#include "CliValue.h"
#include "Protocol.h"

namespace KxrCli {
namespace {

namespace json = boost::json;

bool IsType(const std::string& type) { return IntegerWidth(type) != 0 || type == "text" || type == "bytes"; }


}  // namespace

bool ParseDictionary(const std::string& text, std::vector<DictEntry>& dict, std::string& error) {
  dict.clear();
  json::value doc;
  if (!ParseJson(text, doc, error)) return false;
  if (!doc.is_array()) {
    error = "not a list [ ... ] of entries";
    return false;
  }
  std::set<std::pair<unsigned, unsigned>> seen;
  // An entry must fit one call on its own: its record and bytes in the read area.
  const int64_t largest = KxrProtocol::kMaxEntryLength - KxrProtocol::kReadRecordSize;
  for (std::size_t n = 0; n < doc.get_array().size(); ++n) {
    const std::string where = "entry " + std::to_string(n + 1) + ": ";
    const json::object* e = doc.get_array()[n].if_object();
    const json::string *index = e ? StringField(*e, "index") : nullptr, *sub = e ? StringField(*e, "sub") : nullptr;
    const json::string *name = e ? StringField(*e, "name") : nullptr, *type = e ? StringField(*e, "type") : nullptr;
    const json::value* writable = e ? e->if_contains("writable") : nullptr;
    DictEntry entry;
    unsigned i = 0, s = 0;
    int64_t size = 0;
    if (!index || !ParseHexField(std::string(*index), 4, i) || !sub || !ParseHexField(std::string(*sub), 2, s)) {
      error = where + "\"index\" and \"sub\" are \"0x\" and 4 or 2 hex digits";
      return false;
    }
    entry.index = static_cast<uint16_t>(i);
    entry.subIndex = static_cast<uint8_t>(s);
    if (!name || !type || !IsType(std::string(*type)) || !writable || !writable->is_bool() ||
        !IntegerField(*e, "size", 1, largest, size)) {
      error = where + "needs \"name\", \"type\" (u8..u64, i8..i64, text, bytes), \"size\" (1 to " +
              std::to_string(largest) + ") and \"writable\"";
      return false;
    }
    entry.name = std::string(*name);
    entry.type = std::string(*type);
    entry.size = static_cast<uint32_t>(size);
    entry.writable = writable->get_bool();
    if (IntegerWidth(entry.type) != 0 && entry.size != static_cast<uint32_t>(IntegerWidth(entry.type))) {
      error = where + "the size of a " + entry.type + " is " + std::to_string(IntegerWidth(entry.type));
      return false;
    }
    if (!seen.emplace(i, s).second) {
      error = where + EntryName(entry.index, entry.subIndex) + " is given twice";
      return false;
    }
    dict.push_back(std::move(entry));
  }
  return true;
}

}  // namespace KxrCli
