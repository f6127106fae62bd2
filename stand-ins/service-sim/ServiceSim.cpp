// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
#include "ServiceSim.h"

#include <cstdarg>

#include "Protocol.h"
#include "ResultCodes.h"

namespace KxrSim {

namespace {

using namespace KxrResult;

// The little-endian field of width 2, 4 or 8 bytes at offset of s.
uint64_t GetLe(const std::string& s, std::size_t offset, std::size_t width) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + offset;
  return width == 2 ? KxrProtocol::GetLe16(p) : width == 4 ? KxrProtocol::GetLe32(p) : KxrProtocol::GetLe64(p);
}

std::string PutLe(uint64_t v, int width) {
  std::string s;
  KxrProtocol::AppendLe(s, v, width);
  return s;
}

constexpr std::size_t kEntryHead = 18;  // entry-access record head

std::string Hex(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(v));
  return text;
}

std::string EntryAnswer(const std::string& record, uint32_t status, const std::string& data) {
  return record.substr(0, 6) + PutLe(status, 8) + PutLe(data.size(), 4) + data;
}

}  // namespace

void Dictionary::Set(uint16_t index, uint8_t subIndex, std::string bytes, bool readOnly, uint32_t refuseWrite) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_[{index, subIndex}] = Entry{std::move(bytes), readOnly, refuseWrite};
}

void Dictionary::SetName(uint16_t index, std::string name) {
  std::lock_guard<std::mutex> lock(mutex_);
  names_[index] = std::move(name);
}

bool Dictionary::Get(uint16_t index, uint8_t subIndex, std::string& bytes) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = entries_.find({index, subIndex});
  if (it == entries_.end()) return false;
  bytes = it->second.bytes;
  return true;
}

std::size_t Dictionary::Size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

void Dictionary::Log(const char* format, ...) {
  if (log_ == nullptr) return;
  char line[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  std::fprintf(log_, "kxr-service-sim: %s\n", line);
}

// Kind 0: a write record in the input area and/or a read record in the output area.
std::string Dictionary::ServeEntry(const std::string& in, const std::string& out) {
  const std::string& first = in.empty() ? out : in;
  if ((in.empty() && out.empty()) || (!out.empty() && out.size() < kEntryHead)) return {};
  for (const std::string* rec : {&in, &out}) {
    if (!rec->empty() && (rec->size() < kEntryHead || GetLe(*rec, 14, 4) != rec->size() - kEntryHead)) {
      Log("malformed entry-access record");
      return first.size() >= 6 ? EntryAnswer(first, BadEntryAccess, "") : std::string();
    }
  }
  const auto index = static_cast<uint16_t>(GetLe(first, 2, 2));
  const auto sub = static_cast<uint8_t>(first[5]);
  char name[16];
  std::snprintf(name, sizeof name, "%04X:%02X", index, sub);
  const auto it = entries_.find({index, sub});
  uint32_t status = Success;
  std::string data;
  if (it == entries_.end()) {
    status = NoSuchEntry;
  } else if (!in.empty()) {
    const std::string value = in.substr(kEntryHead);
    if (it->second.readOnly)
      status = ReadOnlyEntry;
    else if (it->second.refuseWrite != 0)
      status = it->second.refuseWrite;
    else if (value.size() != it->second.bytes.size())
      status = WrongLength;
    else
      it->second.bytes = value;
    Log("write %s, %zu bytes: status %s", name, value.size(), Hex(status).c_str());
  }
  if (!out.empty()) {
    if (status == Success) {
      data = it->second.bytes;
      const std::size_t wanted = out.size() - kEntryHead;
      if (wanted < data.size()) {
        data.resize(wanted);
        status = EntryBufferTooSmall;
      }
    }
    Log("read %s, %zu of %zu bytes wanted: status %s", name, data.size(), out.size() - kEntryHead,
        Hex(status).c_str());
    return EntryAnswer(out, status, data);
  }
  return EntryAnswer(in, status, data);
}

// Kind 1: the indices of all objects, ascending, as many as fit the output area.
std::string Dictionary::ServeList(const std::string& out) {
  std::string list;
  uint32_t last = 0x10000;
  for (const auto& e : entries_) {
    if (e.first.first == last) continue;
    last = e.first.first;
    if (list.size() + 2 > out.size()) break;
    list += PutLe(last, 2);
  }
  Log("object list, %zu objects", list.size() / 2);
  return list;
}

// Kind 2: entry count, highest sub-index, 1 when all entries are read-only; status; name.
std::string Dictionary::ServeObject(const std::string& in, const std::string& out) {
  if (in.size() != 12 || out.size() < 12) return {};
  const auto index = static_cast<uint16_t>(GetLe(in, 2, 2));
  uint8_t count = 0, highest = 0, allReadOnly = 1;
  for (auto it = entries_.lower_bound({index, 0}); it != entries_.end() && it->first.first == index; ++it) {
    ++count;
    highest = it->first.second;
    if (!it->second.readOnly) allReadOnly = 0;
  }
  uint32_t status = count == 0 ? NoSuchEntry : Success;
  std::string name;
  if (count > 0) {
    const auto n = names_.find(index);
    name = n != names_.end() ? n->second : std::string();
    if (name.size() > out.size() - 12) {
      name.resize(out.size() - 12);
      status = EntryBufferTooSmall;
    }
  }
  Log("object %04X description: status %s", index, Hex(status).c_str());
  return std::string(1, static_cast<char>(count)) + PutLe(highest, 2) + std::string(1, static_cast<char>(allReadOnly)) +
         PutLe(status, 8) + name;
}

// Kind 3: the status, then the caller's description with the entry's size
// (16 bits at offset 10) and read-only flag (offset 12) filled in.
std::string Dictionary::ServeEntryInfo(const std::string& in, const std::string& out) {
  if (in.size() != 15 || out.size() < 8 + 64 || GetLe(out, 8, 8) != out.size() - 8) return {};
  const auto index = static_cast<uint16_t>(GetLe(in, 2, 2));
  const auto sub = static_cast<uint8_t>(in[4]);
  std::string desc = out.substr(8);
  const auto it = entries_.find({index, sub});
  uint32_t status = NoSuchEntry;
  if (it != entries_.end()) {
    status = Success;
    desc.replace(10, 2, PutLe(it->second.bytes.size(), 2));
    desc[12] = it->second.readOnly ? 1 : 0;
  }
  Log("entry %04X:%02X description: status %s", index, sub, Hex(status).c_str());
  return PutLe(status, 8) + desc;
}

std::string Dictionary::Answer(const std::string& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (message.size() < kHead || GetLe(message, 0, 8) != message.size() || GetLe(message, 8, 8) != kHead ||
      GetLe(message, 16, 8) < kHead || GetLe(message, 16, 8) > message.size()) {
    Log("malformed message head");
    return {};
  }
  const auto outOffset = static_cast<std::size_t>(GetLe(message, 16, 8));
  const std::string in = message.substr(kHead, outOffset - kHead);
  const std::string out = message.substr(outOffset);
  const std::string& first = in.empty() ? out : in;
  const uint64_t kind = first.size() >= 2 ? GetLe(first, 0, 2) : 0xFFFF;
  std::string answer;
  switch (kind) {
    case 0: answer = ServeEntry(in, out); break;
    case 1: answer = in.size() == 4 ? ServeList(out) : std::string(); break;
    case 2: answer = ServeObject(in, out); break;
    case 3: answer = ServeEntryInfo(in, out); break;
    default: break;
  }
  // Kind 1 may legitimately answer an empty list; the others never answer nothing.
  if (answer.empty() && !(kind == 1 && in.size() == 4)) {
    Log("malformed request, connection closed");
    return {};
  }
  return PutLe(answer.size(), 4) + answer;
}

}  // namespace KxrSim
