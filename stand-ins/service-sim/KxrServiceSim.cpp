// kxr-service-sim: a small device-profile service for development and tests.
// It keeps an object dictionary in memory, loaded at start from a text file,
// and answers the client's messages on the service socket, one connection at
// a time. See stand-ins/README.md for the dictionary format and statuses.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>

#include "Settings.h"

namespace {

constexpr uint32_t kStatusOk = 0;
constexpr uint32_t kStatusShortRead = 0xECA60102u;  // fewer bytes wanted than the entry holds
constexpr uint32_t kStatusNoEntry = 0xECA60301u;    // no such object or sub-index
constexpr uint32_t kStatusWrongSize = 0xECA60302u;  // write length differs from the entry's size
constexpr uint32_t kStatusReadOnly = 0xECA60303u;   // write to a read-only entry
constexpr uint32_t kStatusBadRequest = 0xECA60304u; // malformed entry-access record

constexpr std::size_t kHead = 24;           // message head
constexpr std::size_t kEntryHead = 18;      // entry-access record head
constexpr std::size_t kMaxMessage = 16u << 20;  // longer messages are refused
constexpr std::size_t kMaxEntrySize = 65536;
constexpr int kIoTimeoutSeconds = 10;       // a stalled client cannot hold the service

// Stopping removes the socket file and ends the process at once, whatever it was doing.
void OnStopSignal(int) {
  static const char kStopped[] = "kxr-service-sim: stopped\n";
  ::unlink(KxrSettings::kServiceSocketPath);
  ssize_t ignored = ::write(2, kStopped, sizeof kStopped - 1);
  (void)ignored;
  ::_exit(0);
}

struct Entry {
  std::string bytes;
  bool readOnly = false;
};

struct Dictionary {
  std::map<std::pair<uint16_t, uint8_t>, Entry> entries;
  std::map<uint16_t, std::string> names;
};

uint64_t GetLe(const std::string& s, std::size_t offset, std::size_t width) {
  uint64_t v = 0;
  for (std::size_t i = 0; i < width; ++i)
    v |= static_cast<uint64_t>(static_cast<unsigned char>(s[offset + i])) << (8 * i);
  return v;
}

std::string PutLe(uint64_t v, std::size_t width) {
  std::string s(width, '\0');
  for (std::size_t i = 0; i < width; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}

bool ParseHex(const std::string& text, unsigned long max, unsigned long& value) {
  std::string t = text;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t = t.substr(2);
  if (t.empty() || t.size() > 8 || t.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
  value = std::stoul(t, nullptr, 16);
  return value <= max;
}

// One value token: hex digit pairs ("0A", "DEADBEEF"), or "HH*N" for N copies of HH.
bool ParseBytes(const std::string& token, std::string& out) {
  const std::size_t star = token.find('*');
  if (star != std::string::npos) {
    unsigned long byte = 0;
    const std::string count = token.substr(star + 1);
    if (!ParseHex(token.substr(0, star), 0xFF, byte) || count.empty() ||
        count.find_first_not_of("0123456789") != std::string::npos || count.size() > 6)
      return false;
    out.append(std::stoul(count), static_cast<char>(byte));
    return true;
  }
  if (token.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < token.size(); i += 2) {
    unsigned long byte = 0;
    if (!ParseHex(token.substr(i, 2), 0xFF, byte)) return false;
    out.push_back(static_cast<char>(byte));
  }
  return true;
}

bool LoadDictionary(const std::string& path, Dictionary& dict, std::string& why) {
  std::ifstream in(path);
  if (!in) {
    why = "cannot open " + path;
    return false;
  }
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    const std::size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::string keyword, indexText;
    if (!(words >> keyword)) continue;
    const std::string where = path + ":" + std::to_string(number) + ": ";
    unsigned long index = 0;
    if (!(words >> indexText) || !ParseHex(indexText, 0xFFFF, index)) {
      why = where + "expected a 16-bit hex index";
      return false;
    }
    if (keyword == "object") {
      std::string name;
      std::getline(words >> std::ws, name);
      while (!name.empty() && (name.back() == ' ' || name.back() == '\t' || name.back() == '\r')) name.pop_back();
      dict.names[static_cast<uint16_t>(index)] = name;
      continue;
    }
    if (keyword != "entry") {
      why = where + "unknown keyword \"" + keyword + "\"";
      return false;
    }
    std::string subText, access, token;
    unsigned long sub = 0;
    if (!(words >> subText) || !ParseHex(subText, 0xFF, sub)) {
      why = where + "expected an 8-bit hex sub-index";
      return false;
    }
    Entry entry;
    if (!(words >> access) || (access != "ro" && access != "rw")) {
      why = where + "expected the access ro or rw";
      return false;
    }
    entry.readOnly = access == "ro";
    while (words >> token) {
      if (!ParseBytes(token, entry.bytes)) {
        why = where + "bad value bytes \"" + token + "\"";
        return false;
      }
    }
    if (entry.bytes.empty() || entry.bytes.size() > kMaxEntrySize) {
      why = where + "an entry holds 1 to " + std::to_string(kMaxEntrySize) + " bytes";
      return false;
    }
    const auto key = std::make_pair(static_cast<uint16_t>(index), static_cast<uint8_t>(sub));
    if (!dict.entries.emplace(key, entry).second) {
      why = where + "duplicate entry";
      return false;
    }
  }
  return true;
}

bool ReadAll(int fd, std::string& out, std::size_t size) {
  char buf[4096];
  while (size > 0) {
    const ssize_t n = ::recv(fd, buf, size < sizeof buf ? size : sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out.append(buf, static_cast<std::size_t>(n));
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void SendAll(int fd, const std::string& data) {
  for (std::size_t sent = 0; sent < data.size();) {
    const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
}

std::string Hex(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(v));
  return text;
}

std::string EntryAnswer(const std::string& record, uint32_t status, const std::string& data) {
  return record.substr(0, 6) + PutLe(status, 8) + PutLe(data.size(), 4) + data;
}

// Kind 0: a write record in the input area and/or a read record in the output area.
std::string ServeEntry(Dictionary& dict, const std::string& in, const std::string& out) {
  const std::string& first = in.empty() ? out : in;
  if ((in.empty() && out.empty()) || (!out.empty() && out.size() < kEntryHead)) return {};
  for (const std::string* rec : {&in, &out}) {
    if (!rec->empty() && (rec->size() < kEntryHead || GetLe(*rec, 14, 4) != rec->size() - kEntryHead)) {
      std::fprintf(stderr, "kxr-service-sim: malformed entry-access record\n");
      return first.size() >= 6 ? EntryAnswer(first, kStatusBadRequest, "") : std::string();
    }
  }
  const auto index = static_cast<uint16_t>(GetLe(first, 2, 2));
  const auto sub = static_cast<uint8_t>(first[5]);
  char name[16];
  std::snprintf(name, sizeof name, "%04X:%02X", index, sub);
  const auto it = dict.entries.find({index, sub});
  uint32_t status = kStatusOk;
  std::string data;
  if (it == dict.entries.end()) {
    status = kStatusNoEntry;
  } else if (!in.empty()) {
    const std::string value = in.substr(kEntryHead);
    if (it->second.readOnly)
      status = kStatusReadOnly;
    else if (value.size() != it->second.bytes.size())
      status = kStatusWrongSize;
    else
      it->second.bytes = value;
    std::fprintf(stderr, "kxr-service-sim: write %s, %zu bytes: status %s\n", name, value.size(),
                 Hex(status).c_str());
  }
  if (!out.empty()) {
    if (status == kStatusOk) {
      data = it->second.bytes;
      const std::size_t wanted = out.size() - kEntryHead;
      if (wanted < data.size()) {
        data.resize(wanted);
        status = kStatusShortRead;
      }
    }
    std::fprintf(stderr, "kxr-service-sim: read %s, %zu of %zu bytes wanted: status %s\n", name, data.size(),
                 out.size() - kEntryHead, Hex(status).c_str());
    return EntryAnswer(out, status, data);
  }
  return EntryAnswer(in, status, data);
}

// Kind 1: the indices of all objects, ascending, as many as fit the output area.
std::string ServeList(const Dictionary& dict, const std::string& out) {
  std::string list;
  uint32_t last = 0x10000;
  for (const auto& e : dict.entries) {
    if (e.first.first == last) continue;
    last = e.first.first;
    if (list.size() + 2 > out.size()) break;
    list += PutLe(last, 2);
  }
  std::fprintf(stderr, "kxr-service-sim: object list, %zu objects\n", list.size() / 2);
  return list;
}

// Kind 2: entry count, highest sub-index, 1 when all entries are read-only; status; name.
std::string ServeObject(const Dictionary& dict, const std::string& in, const std::string& out) {
  if (in.size() != 12 || out.size() < 12) return {};
  const auto index = static_cast<uint16_t>(GetLe(in, 2, 2));
  uint8_t count = 0, highest = 0, allReadOnly = 1;
  for (auto it = dict.entries.lower_bound({index, 0}); it != dict.entries.end() && it->first.first == index; ++it) {
    ++count;
    highest = it->first.second;
    if (!it->second.readOnly) allReadOnly = 0;
  }
  uint32_t status = count == 0 ? kStatusNoEntry : kStatusOk;
  std::string name;
  if (count > 0) {
    const auto n = dict.names.find(index);
    name = n != dict.names.end() ? n->second : std::string();
    if (name.size() > out.size() - 12) {
      name.resize(out.size() - 12);
      status = kStatusShortRead;
    }
  }
  std::fprintf(stderr, "kxr-service-sim: object %04X description: status %s\n", index, Hex(status).c_str());
  return std::string(1, static_cast<char>(count)) + PutLe(highest, 2) + std::string(1, static_cast<char>(allReadOnly)) +
         PutLe(status, 8) + name;
}

// Kind 3: the status, then the caller's description with the entry's size
// (16 bits at offset 10) and read-only flag (offset 12) filled in.
std::string ServeEntryInfo(const Dictionary& dict, const std::string& in, const std::string& out) {
  if (in.size() != 15 || out.size() < 8 + 64 || GetLe(out, 8, 8) != out.size() - 8) return {};
  const auto index = static_cast<uint16_t>(GetLe(in, 2, 2));
  const auto sub = static_cast<uint8_t>(in[4]);
  std::string desc = out.substr(8);
  const auto it = dict.entries.find({index, sub});
  uint32_t status = kStatusNoEntry;
  if (it != dict.entries.end()) {
    status = kStatusOk;
    desc.replace(10, 2, PutLe(it->second.bytes.size(), 2));
    desc[12] = it->second.readOnly ? 1 : 0;
  }
  std::fprintf(stderr, "kxr-service-sim: entry %04X:%02X description: status %s\n", index, sub, Hex(status).c_str());
  return PutLe(status, 8) + desc;
}

// Reads one message and answers it; a malformed message closes the connection unanswered.
void Serve(int fd, Dictionary& dict) {
  const timeval bound{kIoTimeoutSeconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
  std::string message;
  if (!ReadAll(fd, message, 8)) return;
  const uint64_t total = GetLe(message, 0, 8);
  if (total < kHead || total > kMaxMessage) {
    std::fprintf(stderr, "kxr-service-sim: refused a message of %llu bytes\n", static_cast<unsigned long long>(total));
    return;
  }
  if (!ReadAll(fd, message, static_cast<std::size_t>(total) - 8)) return;
  const uint64_t outOffset = GetLe(message, 16, 8);
  if (GetLe(message, 8, 8) != kHead || outOffset < kHead || outOffset > total) {
    std::fprintf(stderr, "kxr-service-sim: malformed message head\n");
    return;
  }
  const std::string in = message.substr(kHead, static_cast<std::size_t>(outOffset) - kHead);
  const std::string out = message.substr(static_cast<std::size_t>(outOffset));
  const std::string& first = in.empty() ? out : in;
  std::string answer;
  switch (first.size() >= 2 ? GetLe(first, 0, 2) : 0xFFFF) {
    case 0: answer = ServeEntry(dict, in, out); break;
    case 1: answer = in.size() == 4 ? ServeList(dict, out) : std::string(); break;
    case 2: answer = ServeObject(dict, in, out); break;
    case 3: answer = ServeEntryInfo(dict, in, out); break;
    default: break;
  }
  // Kind 1 may legitimately answer an empty list; the others never answer nothing.
  if (answer.empty() && !(first.size() >= 2 && GetLe(first, 0, 2) == 1 && in.size() == 4)) {
    std::fprintf(stderr, "kxr-service-sim: malformed request, connection closed\n");
    return;
  }
  SendAll(fd, PutLe(answer.size(), 4) + answer);
}

bool MakeParentDirs(const std::string& path) {
  for (std::size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1))
    if (::mkdir(path.substr(0, pos).c_str(), 0755) != 0 && errno != EEXIST) return false;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
    std::fprintf(stderr, "usage: kxr-service-sim [DICTIONARY]\n  default dictionary: %s\n", KXR_SIM_DEFAULT_DICTIONARY);
    return 2;
  }
  const std::string dictPath = argc == 2 ? argv[1] : KXR_SIM_DEFAULT_DICTIONARY;
  Dictionary dict;
  std::string why;
  if (!LoadDictionary(dictPath, dict, why)) {
    std::fprintf(stderr, "kxr-service-sim: %s\n", why.c_str());
    return 1;
  }

  ::signal(SIGINT, OnStopSignal);
  ::signal(SIGTERM, OnStopSignal);
  ::signal(SIGPIPE, SIG_IGN);

  const std::string path = KxrSettings::kServiceSocketPath;
  sockaddr_un addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const int listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ::unlink(path.c_str());  // a stale socket of an earlier run
  if (listenFd < 0 || !MakeParentDirs(path) ||
      ::bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listenFd, 16) != 0) {
    std::fprintf(stderr, "kxr-service-sim: cannot listen on %s: %s\n", path.c_str(), std::strerror(errno));
    return 1;
  }
  std::fprintf(stderr, "kxr-service-sim: listening on %s, %zu entries from %s\n", path.c_str(), dict.entries.size(),
               dictPath.c_str());

  for (;;) {
    const int fd = ::accept(listenFd, nullptr, nullptr);
    if (fd < 0) {
      if (errno != EINTR && errno != ECONNABORTED)
        std::fprintf(stderr, "kxr-service-sim: accept: %s\n", std::strerror(errno));
      continue;
    }
    Serve(fd, dict);
    ::close(fd);
  }
}
