#include "UnixHttp.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace kxrtest {

namespace {
using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point end) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}
}  // namespace

UnixStream::~UnixStream() { Close(); }

UnixStream::UnixStream(UnixStream&& other) noexcept : mFd(other.mFd) { other.mFd = -1; }

UnixStream& UnixStream::operator=(UnixStream&& other) noexcept {
  if (this != &other) {
    Close();
    mFd = other.mFd;
    other.mFd = -1;
  }
  return *this;
}

bool UnixStream::Connect(const std::string& path) {
  Close();
  sockaddr_un addr{};
  if (path.size() >= sizeof(addr.sun_path)) {
    errno = ENAMETOOLONG;
    return false;
  }
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  // Close-on-exec: a daemon started later must not hold our end open.
  mFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (mFd < 0) return false;
  if (::connect(mFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    const int saved = errno;
    Close();
    errno = saved;
    return false;
  }
  return true;
}

bool UnixStream::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(mFd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

UnixReply UnixStream::ReadUntilClose(std::chrono::milliseconds timeout) {
  UnixReply reply;
  reply.connected = mFd >= 0;
  const auto end = Clock::now() + timeout;
  char chunk[65536];
  for (;;) {
    pollfd pfd{mFd, POLLIN, 0};
    const int ready = ::poll(&pfd, 1, RemainingMs(end));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      reply.timedOut = true;
      return reply;
    }
    const ssize_t n = ::recv(mFd, chunk, sizeof(chunk), 0);
    if (n > 0) {
      reply.bytes.append(chunk, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // End of file, or a reset because the server closed with our bytes unread.
    reply.closed = true;
    return reply;
  }
}

bool UnixStream::Readable(std::chrono::milliseconds timeout) const {
  pollfd pfd{mFd, POLLIN, 0};
  return ::poll(&pfd, 1, static_cast<int>(timeout.count())) > 0;
}

void UnixStream::Close() {
  if (mFd >= 0) ::close(mFd);
  mFd = -1;
}

UnixReply Exchange(const std::string& path, std::string_view request,
                   std::chrono::milliseconds timeout) {
  UnixStream stream;
  if (!stream.Connect(path)) return UnixReply{};
  // A failed send is not final: the server may have answered and closed
  // before taking all of it (an oversized body, for instance).
  stream.Send(request);
  return stream.ReadUntilClose(timeout);
}

std::string Request(std::string_view method, std::string_view target) {
  std::string r;
  r.append(method).append(" ").append(target).append(" HTTP/1.1\r\nHost: localhost\r\n\r\n");
  return r;
}

std::string RequestWithBody(std::string_view method, std::string_view target,
                            std::string_view body) {
  std::string r;
  r.append(method).append(" ").append(target).append(" HTTP/1.1\r\nHost: localhost\r\n");
  r.append("Content-Length: ").append(std::to_string(body.size())).append("\r\n\r\n");
  r.append(body);
  return r;
}

std::string HttpAnswer::Field(std::string_view name) const {
  for (const auto& [n, v] : fields)
    if (n.size() == name.size() && ::strncasecmp(n.data(), name.data(), n.size()) == 0) return v;
  return {};
}

bool ParseHttpAnswer(const std::string& raw, HttpAnswer& out) {
  out = HttpAnswer{};
  const std::size_t headEnd = raw.find("\r\n\r\n");
  if (headEnd == std::string::npos) return false;
  std::size_t lineEnd = raw.find("\r\n");
  const std::string statusLine = raw.substr(0, lineEnd);
  if (statusLine.size() < 12 || statusLine.compare(0, 9, "HTTP/1.1 ") != 0 || statusLine[12] != ' ')
    return false;
  out.status = std::atoi(statusLine.substr(9, 3).c_str());
  out.reason = statusLine.substr(13);
  std::size_t pos = lineEnd + 2;
  while (pos < headEnd + 2) {
    lineEnd = raw.find("\r\n", pos);
    const std::string line = raw.substr(pos, lineEnd - pos);
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) return false;
    std::size_t valueStart = colon + 1;
    while (valueStart < line.size() && line[valueStart] == ' ') ++valueStart;
    out.fields.emplace_back(line.substr(0, colon), line.substr(valueStart));
    pos = lineEnd + 2;
  }
  const std::string length = out.Field("Content-Length");
  if (length.empty()) return false;
  out.body = raw.substr(headEnd + 4);
  return out.body.size() == std::strtoull(length.c_str(), nullptr, 10);
}

}  // namespace kxrtest
