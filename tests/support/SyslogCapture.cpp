#include "SyslogCapture.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kxrtest {

namespace {
// Sync markers carry this text; they are never collected.
const char kSyncText[] = "kxrtest-syslog-sync";

bool MakeAddress(const std::string& path, sockaddr_un& addr) {
  if (path.size() >= sizeof(addr.sun_path)) return false;
  addr = sockaddr_un{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return true;
}
}  // namespace

bool ParseSyslogDatagram(const std::string& raw, SyslogRecord& out) {
  out = SyslogRecord{};
  const std::size_t close = raw.find('>');
  if (raw.empty() || raw[0] != '<' || close == std::string::npos || close < 2) return false;
  char* end = nullptr;
  const long pri = std::strtol(raw.c_str() + 1, &end, 10);
  if (end != raw.c_str() + close) return false;
  out.priority = static_cast<int>(pri & 7);
  out.facility = static_cast<int>(pri >> 3);
  // "Mon DD HH:MM:SS " follows the priority.
  const std::size_t tagStart = close + 1 + 16;
  const std::size_t tagEnd = raw.find(": ", tagStart);
  if (tagStart > raw.size() || tagEnd == std::string::npos) return false;
  const std::string tag = raw.substr(tagStart, tagEnd - tagStart);
  const std::size_t bracket = tag.find('[');
  if (bracket != std::string::npos && tag.back() == ']') {
    out.ident = tag.substr(0, bracket);
    out.pid = static_cast<pid_t>(std::atol(tag.c_str() + bracket + 1));
  } else {
    out.ident = tag;
  }
  out.text = raw.substr(tagEnd + 2);
  return true;
}

SyslogCapture::~SyslogCapture() { Close(); }

bool SyslogCapture::Open(const std::string& path, std::string& why) {
  Close();
  sockaddr_un addr;
  if (!MakeAddress(path, addr)) {
    why = "syslog socket path too long: " + path;
    return false;
  }
  mFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (mFd < 0 || ::bind(mFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    why = "bind syslog socket " + path + ": " + std::strerror(errno);
    if (mFd >= 0) ::close(mFd);
    mFd = -1;
    return false;
  }
  // Anyone may log, as through the real /dev/log.
  ::chmod(path.c_str(), 0666);
  mPath = path;
  mStop = false;
  mReader = std::thread([this] { Drain(); });
  return true;
}

void SyslogCapture::Close() {
  if (mReader.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mMutex);
      mStop = true;
    }
    mReader.join();
  }
  if (mFd >= 0) ::close(mFd);
  mFd = -1;
}

void SyslogCapture::Drain() {
  std::string buffer(65536, '\0');
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mMutex);
      if (mStop) return;
    }
    pollfd pfd{mFd, POLLIN, 0};
    if (::poll(&pfd, 1, 50) <= 0) continue;
    const ssize_t n = ::recv(mFd, buffer.data(), buffer.size(), 0);
    if (n <= 0) continue;
    std::string raw(buffer.data(), static_cast<std::size_t>(n));
    SyslogRecord record;
    const bool parsed = ParseSyslogDatagram(raw, record);
    std::lock_guard<std::mutex> lock(mMutex);
    if (parsed && record.text == kSyncText) {
      ++mSyncSeen;
    } else {
      if (!parsed) record.text = raw;
      mRecords.push_back(std::move(record));
    }
    mChanged.notify_all();
  }
}

bool SyslogCapture::Sync(std::chrono::milliseconds timeout) {
  sockaddr_un addr;
  if (mFd < 0 || !MakeAddress(mPath, addr)) return false;
  unsigned wanted;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    wanted = ++mSyncSent;
  }
  // Datagrams queue in order on the one socket: once the marker is read,
  // everything sent before it has been read too.
  const std::string marker = std::string("<0>Jan  1 00:00:00 kxrtest: ") + kSyncText;
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const ssize_t sent = ::sendto(fd, marker.data(), marker.size(), 0,
                                reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  ::close(fd);
  if (sent < 0) return false;
  std::unique_lock<std::mutex> lock(mMutex);
  return mChanged.wait_for(lock, timeout, [&] { return mSyncSeen >= wanted; });
}

std::vector<SyslogRecord> SyslogCapture::Records() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mRecords;
}

std::vector<std::string> SyslogCapture::Texts() const {
  std::lock_guard<std::mutex> lock(mMutex);
  std::vector<std::string> texts;
  for (const auto& r : mRecords) texts.push_back(r.text);
  return texts;
}

bool SyslogCapture::WaitForText(const std::string& text, std::chrono::milliseconds timeout,
                                SyslogRecord* found) {
  std::unique_lock<std::mutex> lock(mMutex);
  const SyslogRecord* hit = nullptr;
  const bool ok = mChanged.wait_for(lock, timeout, [&] {
    for (const auto& r : mRecords)
      if (r.text == text) {
        hit = &r;
        return true;
      }
    return false;
  });
  if (ok && found) *found = *hit;
  return ok;
}

void SyslogCapture::Clear() {
  std::lock_guard<std::mutex> lock(mMutex);
  mRecords.clear();
}

}  // namespace kxrtest
