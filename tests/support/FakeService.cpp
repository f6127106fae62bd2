#include "FakeService.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>

namespace kxrtest {

namespace {

// Larger requests are recorded only this far; no client of ours sends more.
constexpr std::size_t kMaxRecorded = 64u << 20;
constexpr std::size_t kEntryHead = 18;

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

bool FillAddress(const std::string& path, sockaddr_un& addr) {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// A socket bound to path (a stale file there is removed first); -1 on failure.
int BindAt(const std::string& path, std::string& why) {
  sockaddr_un addr;
  if (!FillAddress(path, addr)) {
    why = "socket path too long: " + path;
    return -1;
  }
  if (!MakeParentDirs(path)) {
    why = "cannot create the directory of " + path + ": " + std::strerror(errno);
    return -1;
  }
  ::unlink(path.c_str());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    why = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    why = "bind " + path + ": " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::string Le16(uint16_t v) { return PutLe(v, 2); }
std::string Le32(uint32_t v) { return PutLe(v, 4); }
std::string Le64(uint64_t v) { return PutLe(v, 8); }

std::string Answer(const std::string& payload) { return Le32(static_cast<uint32_t>(payload.size())) + payload; }

std::string EntryHead(uint64_t status, uint32_t length, uint16_t index, uint8_t subIndex, uint8_t flags) {
  return Le16(0) + Le16(index) + std::string(1, static_cast<char>(flags)) +
         std::string(1, static_cast<char>(subIndex)) + Le64(status) + Le32(length);
}

std::string EntryAnswer(uint64_t status, const std::string& data, uint16_t index, uint8_t subIndex, uint8_t flags) {
  return Answer(EntryHead(status, static_cast<uint32_t>(data.size()), index, subIndex, flags) + data);
}

bool ParseEntryRequest(const std::string& message, EntryRequest& out) {
  if (message.size() < 24 || GetLe(message, 0, 8) != message.size() || GetLe(message, 8, 8) != 24) return false;
  const uint64_t outOffset = GetLe(message, 16, 8);
  if (outOffset < 24 || outOffset > message.size()) return false;
  const std::string in = message.substr(24, outOffset - 24);
  const std::string outArea = message.substr(outOffset);
  if (in.empty() && outArea.empty()) return false;
  EntryRequest r;
  for (const std::string* rec : {&in, &outArea}) {
    if (rec->empty()) continue;
    if (rec->size() < kEntryHead || GetLe(*rec, 0, 2) != 0 || GetLe(*rec, 14, 4) != rec->size() - kEntryHead)
      return false;
    const auto index = static_cast<uint16_t>(GetLe(*rec, 2, 2));
    const auto flags = static_cast<uint8_t>((*rec)[4]);
    const auto subIndex = static_cast<uint8_t>((*rec)[5]);
    if ((r.hasWrite || r.hasRead) && (index != r.index || flags != r.flags || subIndex != r.subIndex)) return false;
    r.index = index;
    r.flags = flags;
    r.subIndex = subIndex;
    if (rec == &in) {
      r.hasWrite = true;
      r.writeData = in.substr(kEntryHead);
    } else {
      r.hasRead = true;
      r.readLength = static_cast<uint32_t>(outArea.size() - kEntryHead);
    }
  }
  out = r;
  return true;
}

bool MakeParentDirs(const std::string& path) {
  for (std::size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
    const std::string dir = path.substr(0, pos);
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

bool MakeDeadSocket(const std::string& path) {
  std::string why;
  const int fd = BindAt(path, why);
  if (fd < 0) return false;
  ::close(fd);  // the file stays; nobody listens behind it
  return true;
}

FakeService::FakeService(Handler handler, std::string path) : handler_(std::move(handler)), path_(std::move(path)) {
  const int fd = BindAt(path_, error_);
  if (fd < 0) return;
  if (::listen(fd, 16) != 0 || ::pipe2(wakeFds_, O_CLOEXEC) != 0) {
    error_ = std::string("listen: ") + std::strerror(errno);
    ::close(fd);
    ::unlink(path_.c_str());
    return;
  }
  listenFd_ = fd;
  thread_ = std::thread([this] { Run(); });
}

FakeService::~FakeService() {
  if (thread_.joinable()) {
    const char byte = 1;
    while (::write(wakeFds_[1], &byte, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
  }
  for (int fd : {listenFd_, wakeFds_[0], wakeFds_[1]})
    if (fd >= 0) ::close(fd);
  if (listenFd_ >= 0) ::unlink(Path().c_str());
}

std::string FakeService::Path() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return path_;
}

void FakeService::SetHandler(Handler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handler_ = std::move(handler);
}

void FakeService::SetAnswerPacing(std::size_t pieceBytes, std::chrono::milliseconds pause) {
  std::lock_guard<std::mutex> lock(mutex_);
  pieceBytes_ = pieceBytes;
  pause_ = pause;
}

bool FakeService::MoveTo(const std::string& newPath) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (::rename(path_.c_str(), newPath.c_str()) != 0) return false;
  path_ = newPath;
  return true;
}

std::vector<std::string> FakeService::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::size_t FakeService::RequestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_.size();
}

bool FakeService::WaitForConnections(std::size_t n, std::chrono::milliseconds timeout) const {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (connections_ < n) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

bool FakeService::WaitForStop(int timeoutMs) {
  pollfd p{wakeFds_[0], POLLIN, 0};
  for (;;) {
    const int r = ::poll(&p, 1, timeoutMs);
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return true;
  }
}

bool FakeService::WaitFor(int fd, short events, int timeoutMs) {
  pollfd p[2] = {{fd, events, 0}, {wakeFds_[0], POLLIN, 0}};
  for (;;) {
    const int r = ::poll(p, 2, timeoutMs);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0 || p[1].revents != 0) return false;
    return true;
  }
}

void FakeService::Run() {
  for (;;) {
    if (!WaitFor(listenFd_, POLLIN)) return;
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++connections_;
    Serve(fd);
    ::close(fd);
  }
}

bool FakeService::ReadExactly(int fd, std::size_t size, std::string& out) {
  char buf[4096];
  while (size > 0) {
    if (!WaitFor(fd, POLLIN)) return false;
    const ssize_t n = ::recv(fd, buf, size < sizeof buf ? size : sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    out.append(buf, static_cast<std::size_t>(n));
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool FakeService::SendAnswer(int fd, const std::string& data) {
  std::size_t piece;
  int pauseMs;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    piece = pieceBytes_ == 0 ? data.size() : pieceBytes_;
    pauseMs = static_cast<int>(pause_.count());
  }
  for (std::size_t sent = 0; sent < data.size();) {
    if (sent > 0 && pauseMs > 0 && WaitForStop(pauseMs)) return false;
    const std::size_t want = std::min(piece, data.size() - sent);
    std::size_t done = 0;
    while (done < want) {
      if (!WaitFor(fd, POLLOUT)) return false;
      const ssize_t n = ::send(fd, data.data() + sent + done, want - done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n < 0) return false;
      done += static_cast<std::size_t>(n);
    }
    sent += want;
  }
  return true;
}

void FakeService::Serve(int fd) {
  const Mode mode = mode_;
  if (mode == Mode::kHangBeforeRead) {
    WaitForStop(-1);
    return;
  }
  if (mode == Mode::kShutRead) {
    // The client's pending send fails with EPIPE; the socket is closed only
    // after the client has closed its end, so its error stays EPIPE.
    ::shutdown(fd, SHUT_RD);
    for (int waited = 0; waited < 20000; waited += 10) {
      pollfd p{fd, 0, 0};
      if (::poll(&p, 1, 0) > 0 && (p.revents & POLLHUP)) break;
      if (WaitForStop(10)) break;
    }
    return;
  }
  std::string request;
  bool complete = ReadExactly(fd, 8, request);
  if (complete) {
    const uint64_t total = GetLe(request, 0, 8);
    const std::size_t want = total > kMaxRecorded ? kMaxRecorded : static_cast<std::size_t>(total);
    if (want > 8) complete = ReadExactly(fd, want - 8, request);
  }
  Handler handler;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!request.empty()) requests_.push_back(request);
    handler = handler_;
  }
  if (mode == Mode::kHangAfterRead) {
    WaitForStop(-1);
    return;
  }
  if (!complete || !handler) return;
  const std::string answer = handler(request);
  if (!answer.empty()) SendAnswer(fd, answer);
}

void FakeDictionary::Set(uint16_t index, uint8_t subIndex, std::string bytes, bool readOnly) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_[{index, subIndex}] = Entry{std::move(bytes), readOnly};
}

bool FakeDictionary::Get(uint16_t index, uint8_t subIndex, std::string& bytes) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = entries_.find({index, subIndex});
  if (it == entries_.end()) return false;
  bytes = it->second.bytes;
  return true;
}

FakeService::Handler FakeDictionary::Handler() {
  return [this](const std::string& request) { return Serve(request); };
}

std::string FakeDictionary::Serve(const std::string& request) {
  EntryRequest r;
  if (!ParseEntryRequest(request, r)) return EntryAnswer(kBadRequest, "");
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = entries_.find({r.index, r.subIndex});
  uint64_t status = 0;
  std::string data;
  if (it == entries_.end()) {
    status = kNoEntry;
  } else if (r.hasWrite) {
    if (it->second.readOnly)
      status = kReadOnly;
    else if (r.writeData.size() != it->second.bytes.size())
      status = kWrongLength;
    else
      it->second.bytes = r.writeData;
  }
  if (status == 0 && r.hasRead) {
    data = it->second.bytes;
    if (r.readLength < data.size()) {
      data.resize(r.readLength);
      status = 0xECA60102u;
    }
  }
  return EntryAnswer(status, data, r.index, r.subIndex, r.flags);
}

}  // namespace kxrtest
