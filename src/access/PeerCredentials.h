// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Who is at the other end of a connection on the daemon's socket, as the
// kernel tells it: the one fact about a caller that no client can set.
#pragma once

#include <sys/types.h>

namespace KxrAccess {

struct Peer {
  bool known = false;  // the kernel told; an unknown peer is never root
  uid_t uid = 0;

  bool IsRoot() const { return known && uid == 0; }
};

// The effective uid of the process that connected the socket fd (at connect time).
Peer PeerOf(int fd);

}  // namespace KxrAccess
