// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// kxr-service-sim: a small device-profile service for development and tests.
// It keeps an object dictionary in memory, loaded at start from the device
// pages' dictionary.json (or a file of its form), and answers the client's
// messages on the service socket, one connection at a time. See
// stand-ins/README.md for the dictionary format and statuses.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "DictionaryFile.h"
#include "Protocol.h"
#include "ServiceSim.h"
#include "Settings.h"

namespace {

constexpr int kIoTimeoutSeconds = 10;  // a stalled client cannot hold the service

// Stopping removes the socket file and ends the process at once, whatever it was doing.
void OnStopSignal(int) {
  static const char kStopped[] = "kxr-service-sim: stopped\n";
  ::unlink(KxrSettings::kServiceSocketPath);
  ssize_t ignored = ::write(2, kStopped, sizeof kStopped - 1);
  (void)ignored;
  ::_exit(0);
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

// Reads one message and answers it; a malformed message closes the connection unanswered.
void Serve(int fd, KxrSim::Dictionary& dict) {
  const timeval bound{kIoTimeoutSeconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
  std::string message;
  if (!ReadAll(fd, message, 8)) return;
  const uint64_t total = KxrProtocol::GetLe64(reinterpret_cast<const unsigned char*>(message.data()));
  if (total < KxrSim::kHead || total > KxrSim::kMaxMessage) {
    std::fprintf(stderr, "kxr-service-sim: refused a message of %llu bytes\n", static_cast<unsigned long long>(total));
    return;
  }
  if (!ReadAll(fd, message, static_cast<std::size_t>(total) - 8)) return;
  const std::string answer = dict.Answer(message);
  if (!answer.empty()) SendAll(fd, answer);
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
  KxrSim::Dictionary dict;
  std::string why;
  if (!KxrSim::LoadDictionaryFile(dictPath, dict, why)) {
    std::fprintf(stderr, "kxr-service-sim: %s\n", why.c_str());
    return 1;
  }
  dict.LogTo(stderr);

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
  std::fprintf(stderr, "kxr-service-sim: listening on %s, %zu entries from %s\n", path.c_str(), dict.Size(),
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
