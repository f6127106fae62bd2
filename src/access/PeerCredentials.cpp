// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
#include "PeerCredentials.h"

#include <sys/socket.h>
#include <unistd.h>

// Linux has SO_PEERCRED; every other system, and the portable build on Linux
// (libbsd), asks getpeereid, so that CI runs that path too.
#if defined(__linux__) && !defined(KXR_PORTABLE_IO)
#define KXR_PEERCRED 1
#elif defined(__linux__)
#include <bsd/unistd.h>
#endif

namespace KxrAccess {

Peer PeerOf(int fd) {
  Peer peer;
#if defined(KXR_PEERCRED)
  struct ucred cred {};
  socklen_t length = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) == 0 && length == sizeof cred) {
    peer.known = true;
    peer.uid = cred.uid;
  }
#else
  uid_t uid = 0;
  gid_t gid = 0;
  if (::getpeereid(fd, &uid, &gid) == 0) {
    peer.known = true;
    peer.uid = uid;
  }
#endif
  return peer;
}

}  // namespace KxrAccess
