// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The system calls of a connection, made without waiting: accepting it,
// gathering an answer's pieces into one send, and sending a file straight
// from the kernel's page cache where the platform can.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

namespace KXRWebservice {

// The next connection waiting on the listening socket, non-blocking and
// closed on exec, or -1 with errno (EAGAIN when none is waiting).
int accept_connection(int listener);

// Sends the pieces in one call without waiting and without SIGPIPE: bytes
// sent, or -1 with errno.
ssize_t send_gathered(int socket, const iovec* pieces, int count);

// Sends up to count bytes of the file from offset: bytes sent, 0 at the
// file's end, or -1 with errno (EAGAIN when the socket is full). A
// non-blocking socket is expected.
ssize_t send_file_piece(int socket, int fd, std::uint64_t offset, std::size_t count);

}  // namespace KXRWebservice
