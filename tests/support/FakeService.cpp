#include "FakeService.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace KxrTest {

namespace {

constexpr std::size_t kMaxRecorded = 64u << 20;  // no client of ours sends more

// A socket bound to path (a stale file there is removed first); -1 on failure.
int BindAt(const std::string& path, std::string& why) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path || !MakeParentDirs(path)) {
    why = "cannot bind " + path;
    return -1;
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  ::unlink(path.c_str());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
  why = "bind " + path + ": " + std::strerror(errno);
  if (fd >= 0) ::close(fd);
  return -1;
}

}  // namespace

std::string Answer(const std::string& payload) { return Le32(static_cast<uint32_t>(payload.size())) + payload; }

std::string EntryHead(uint64_t status, uint32_t length, uint16_t index, uint8_t subIndex, uint8_t flags) {
  return Le16(0) + Le16(index) + std::string(1, static_cast<char>(flags)) +
         std::string(1, static_cast<char>(subIndex)) + Le64(status) + Le32(length);
}

std::string EntryAnswer(uint64_t status, const std::string& data, uint16_t index, uint8_t subIndex, uint8_t flags) {
  return Answer(EntryHead(status, static_cast<uint32_t>(data.size()), index, subIndex, flags) + data);
}

bool MakeParentDirs(const std::string& path) {
  for (std::size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1))
    if (::mkdir(path.substr(0, pos).c_str(), 0755) != 0 && errno != EEXIST) return false;
  return true;
}

bool MakeDeadSocket(const std::string& path) {
  std::string why;
  const int fd = BindAt(path, why);
  if (fd >= 0) ::close(fd);  // the file stays; nobody listens behind it
  return fd >= 0;
}

FakeService::FakeService(Handler handler, std::string path) : handler_(std::move(handler)), path_(std::move(path)) {
  const int fd = BindAt(path_, error_);
  if (fd < 0) return;
  if (::listen(fd, 16) != 0 || ::pipe2(wakeFds_, O_CLOEXEC) != 0) {
    error_ = std::string("listen: ") + std::strerror(errno);
    ::close(fd);
    return;
  }
  listenFd_ = fd;
  thread_ = std::thread([this] {
    while (WaitFor(listenFd_, POLLIN)) {
      const int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      Serve(client);
      ::close(client);
    }
  });
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
  if (listenFd_ >= 0) ::unlink(path_.c_str());
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

std::vector<std::string> FakeService::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool FakeService::WaitForStop(int timeoutMs) {
  pollfd p{wakeFds_[0], POLLIN, 0};
  int r;
  while ((r = ::poll(&p, 1, timeoutMs)) < 0 && errno == EINTR) {
  }
  return r != 0;
}

bool FakeService::WaitFor(int fd, short events) {
  pollfd p[2] = {{fd, events, 0}, {wakeFds_[0], POLLIN, 0}};
  int r;
  while ((r = ::poll(p, 2, -1)) < 0 && errno == EINTR) {
  }
  return r > 0 && p[1].revents == 0;
}

bool FakeService::ReadExactly(int fd, std::size_t size, std::string& out) {
  char buf[4096];
  while (size > 0) {
    if (!WaitFor(fd, POLLIN)) return false;
    const ssize_t n = ::recv(fd, buf, std::min(size, sizeof buf), MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    out.append(buf, static_cast<std::size_t>(n));
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool FakeService::SendAnswer(int fd, const std::string& data) {
  std::unique_lock<std::mutex> lock(mutex_);
  const std::size_t piece = pieceBytes_ == 0 ? data.size() : pieceBytes_;
  const int pauseMs = static_cast<int>(pause_.count());
  lock.unlock();
  for (std::size_t sent = 0; sent < data.size();) {
    if (sent > 0 && pauseMs > 0 && WaitForStop(pauseMs)) return false;
    const std::size_t end = std::min(sent + piece, data.size());
    while (sent < end) {
      if (!WaitFor(fd, POLLOUT)) return false;
      const ssize_t n = ::send(fd, data.data() + sent, end - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && errno != EINTR && errno != EAGAIN) return false;
      if (n > 0) sent += static_cast<std::size_t>(n);
    }
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
    for (int waited = 0; waited < 20000 && !WaitForStop(10); waited += 10) {
      pollfd p{fd, 0, 0};
      if (::poll(&p, 1, 0) > 0 && (p.revents & POLLHUP)) break;
    }
    return;
  }
  std::string request;
  bool complete = ReadExactly(fd, 8, request);
  if (complete) {
    const uint64_t total = std::min<uint64_t>(KxrProtocol::GetLe64(reinterpret_cast<const unsigned char*>(request.data())), kMaxRecorded);
    if (total > 8) complete = ReadExactly(fd, static_cast<std::size_t>(total) - 8, request);
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

}  // namespace KxrTest
