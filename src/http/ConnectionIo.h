// The system calls of an answer, made without waiting: gathering its pieces
// into one send, and sending a file straight from the kernel's page cache
// where the platform can.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

namespace KXRWebservice {

// Sends the pieces in one call without waiting and without SIGPIPE: bytes
// sent, or -1 with errno.
ssize_t send_gathered(int socket, const iovec* pieces, int count);

// Sends up to count bytes of the file from offset: bytes sent, 0 at the
// file's end, or -1 with errno (EAGAIN when the socket is full). A
// non-blocking socket is expected.
ssize_t send_file_piece(int socket, int fd, std::uint64_t offset, std::size_t count);

}  // namespace KXRWebservice
