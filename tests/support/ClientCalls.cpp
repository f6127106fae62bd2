// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
#include "ClientCalls.h"

#include <sys/socket.h>

#include <cerrno>

namespace {
thread_local int tRefusals = 0, tConnects = 0, tInterruptions = 0;
}  // namespace

namespace KxrTest {
void RefuseConnects(int n) { tRefusals = n, tConnects = 0; }
int Connects() { return tConnects; }
void InterruptRecvs(int n) { tInterruptions = n; }
}  // namespace KxrTest

extern "C" {
int __real_connect(int fd, const sockaddr* addr, socklen_t len);
ssize_t __real_recv(int fd, void* buf, size_t len, int flags);

int __wrap_connect(int fd, const sockaddr* addr, socklen_t len) {
  ++tConnects;
  if (tRefusals > 0) return --tRefusals, errno = ECONNREFUSED, -1;
  return __real_connect(fd, addr, len);
}

ssize_t __wrap_recv(int fd, void* buf, size_t len, int flags) {
  if (tInterruptions > 0) return --tInterruptions, errno = EINTR, -1;
  return __real_recv(fd, buf, len, flags);
}
}
