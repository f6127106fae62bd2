// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
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

// A socket bound to path (creating its directories, replacing a stale file); -1 on failure.
int BindAt(const std::string& path) {
  for (std::size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1))
    ::mkdir(path.substr(0, pos).c_str(), 0755);
  sockaddr_un addr{AF_UNIX, {}};
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (path.size() < sizeof addr.sun_path && fd >= 0) {
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
  }
  return fd >= 0 ? ::close(fd), -1 : -1;
}
}  // namespace

bool MakeDeadSocket() {
  const int fd = BindAt(KxrSettings::kServiceSocketPath);
  return fd >= 0 && ::close(fd) == 0;  // the file stays; nobody listens behind it
}

FakeService::FakeService(Handler handler) : handler_(std::move(handler)) {
  const int fd = BindAt(KxrSettings::kServiceSocketPath);
  if (fd < 0 || ::listen(fd, 16) != 0 || ::pipe2(wakeFds_, O_CLOEXEC) != 0) {
    if (fd >= 0) ::close(fd);
    return;
  }
  listenFd_ = fd;
  thread_ = std::thread([this] {
    while (WaitFor(listenFd_, POLLIN))
      if (const int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC); client >= 0) Serve(client), ::close(client);
  });
}

FakeService::~FakeService() {
  if (thread_.joinable()) {
    while (::write(wakeFds_[1], "x", 1) < 0 && errno == EINTR) continue;
    thread_.join();
  }
  for (int fd : {listenFd_, wakeFds_[0], wakeFds_[1]})
    if (fd >= 0) ::close(fd);
  if (listenFd_ >= 0) ::unlink(KxrSettings::kServiceSocketPath);
}

std::vector<std::string> FakeService::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool FakeService::WaitFor(int fd, short events, int timeoutMs) {
  pollfd p[2] = {{fd, events, 0}, {wakeFds_[0], POLLIN, 0}};
  int r;
  while ((r = ::poll(p, 2, timeoutMs)) < 0 && errno == EINTR) continue;  // a negative fd is not polled
  return p[1].revents == 0 && r >= 0;
}

// Receives size bytes into data (slowly: a pause after each piece), or sends data (paced: a byte at a time);
// false on end, error or stop.
bool FakeService::Transfer(int fd, bool send, std::string& data, std::size_t size) {
  const bool paced = send ? mode_ == Mode::kPaced : mode_ == Mode::kSlowRead;
  const std::size_t piece = paced && send ? 1 : SIZE_MAX;
  char buf[4096];
  for (std::size_t done = 0; done < size;) {
    if (paced && done > 0 && !WaitFor(-1, 0, send ? 3 : 1)) return false;
    if (!WaitFor(fd, send ? POLLOUT : POLLIN)) return false;
    const std::size_t want = std::min(size - done, send ? piece - done % piece : sizeof buf);
    const ssize_t n = send ? ::send(fd, data.data() + done, want, MSG_NOSIGNAL | MSG_DONTWAIT)
                           : ::recv(fd, buf, want, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    if (!send) data.append(buf, static_cast<std::size_t>(n));
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void FakeService::Serve(int fd) {
  const Mode mode = mode_;
  if (mode == Mode::kShutRead) {  // the client's send fails with EPIPE; closed after the client has gone, so it stays EPIPE
    ::shutdown(fd, SHUT_RD);
    return (void)WaitFor(fd, 0);  // no events asked: only the hang-up (or the fake's stop) ends the wait
  }
  std::string request;
  bool complete = mode != Mode::kHangBeforeRead && Transfer(fd, false, request, 8);
  if (complete) {
    const uint64_t total = KxrProtocol::GetLe64(reinterpret_cast<const unsigned char*>(request.data()));
    complete = total <= 8 || Transfer(fd, false, request, static_cast<std::size_t>(std::min(total, kMaxRecorded) - 8));
  }
  std::unique_lock<std::mutex> lock(mutex_);
  if (!request.empty()) requests_.push_back(request);
  const Handler handler = handler_;
  lock.unlock();
  if (mode == Mode::kHangBeforeRead) return (void)WaitFor(-1, 0);  // hangs until the fake stops
  std::string answer = complete && handler ? handler(request) : std::string();
  Transfer(fd, true, answer, answer.size());
}

}  // namespace KxrTest
