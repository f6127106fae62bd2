// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
#include "ConnectionIo.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

// KXR_PORTABLE_IO (the portable preset) makes a Linux build take the
// branches of the systems that lack a Linux-only call, so that CI runs them.
#if defined(__linux__) && !defined(KXR_PORTABLE_IO)
#define KXR_LINUX_SENDFILE 1
#include <sys/sendfile.h>
#elif defined(__FreeBSD__)
#define KXR_FREEBSD_SENDFILE 1
#include <sys/uio.h>
#endif

namespace KXRWebservice {

namespace {

#if defined(MSG_NOSIGNAL)
constexpr int kSendFlags = MSG_DONTWAIT | MSG_NOSIGNAL;
#else
constexpr int kSendFlags = MSG_DONTWAIT;  // SIGPIPE is ignored by the process
#endif

}  // namespace

int accept_connection(int listener) {
  for (;;) {
#if defined(SOCK_NONBLOCK) && defined(SOCK_CLOEXEC) && !defined(KXR_PORTABLE_IO)
    // The connection's flags come with it, in the one call (Linux, FreeBSD 10 and later).
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
#else
    const int fd = ::accept(listener, nullptr, nullptr);
    if (fd >= 0 && (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0 ||
                    ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0)) {
      const int e = errno;
      ::close(fd);
      errno = e;
      return -1;
    }
#endif
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

ssize_t send_gathered(int socket, const iovec* pieces, int count) {
  msghdr message{};
  message.msg_iov = const_cast<iovec*>(pieces);
  message.msg_iovlen = static_cast<decltype(message.msg_iovlen)>(count);
  for (;;) {
    const ssize_t n = ::sendmsg(socket, &message, kSendFlags);
    if (n >= 0 || errno != EINTR) return n;
  }
}

ssize_t send_file_piece(int socket, int fd, std::uint64_t offset, std::size_t count) {
#if defined(KXR_LINUX_SENDFILE)
  // The bytes go from the page cache to the socket without a copy through
  // this process. There is no flag against SIGPIPE: the process ignores it.
  off_t at = static_cast<off_t>(offset);
  for (;;) {
    const ssize_t n = ::sendfile(socket, fd, &at, count);
    if (n >= 0 || errno != EINTR) return n;
  }
#elif defined(KXR_FREEBSD_SENDFILE)
  // A non-blocking socket that takes only part reports EAGAIN with the part
  // sent in sent.
  for (;;) {
    off_t sent = 0;
    const int r = ::sendfile(fd, socket, static_cast<off_t>(offset), count, nullptr, &sent, 0);
    if (r == 0 || sent > 0) return static_cast<ssize_t>(sent);
    if (errno != EINTR) return -1;
  }
#else
  // Elsewhere through a buffer; the one thread sends from it at once, so it
  // can be shared.
  static char buffer[65536];
  const ssize_t got = ::pread(fd, buffer, count < sizeof buffer ? count : sizeof buffer, static_cast<off_t>(offset));
  if (got <= 0) return got;
  for (;;) {
    const ssize_t n = ::send(socket, buffer, static_cast<std::size_t>(got), kSendFlags);
    if (n >= 0 || errno != EINTR) return n;
  }
#endif
}

}  // namespace KXRWebservice
