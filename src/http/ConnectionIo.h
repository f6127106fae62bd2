// The system calls of one connection, made without waiting: accepting it,
// reading its request, gathering an answer's pieces into one send, and sending
// a file straight from the kernel's page cache where the platform can.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>

namespace KXRWebservice {

// The next connection waiting on the listening socket, non-blocking and
// closed on exec, or -1 with errno (EAGAIN when none is waiting).
int accept_connection(int listener);

// Receives into one buffer without waiting: bytes received, 0 at the end of
// the stream, or -1 with errno.
ssize_t receive_now(int socket, void* data, std::size_t size);

// Sends the pieces in one call without waiting and without SIGPIPE: bytes
// sent, or -1 with errno.
ssize_t send_gathered(int socket, const iovec* pieces, int count);

// Sends up to count bytes of the file from offset: bytes sent, 0 at the
// file's end, or -1 with errno (EAGAIN when the socket is full). A
// non-blocking socket is expected.
ssize_t send_file_piece(int socket, int fd, std::uint64_t offset, std::size_t count);

// A connection read through the HTTP library's synchronous read without ever
// waiting: "would block" ends the read with what has arrived so far.
class connection_now {
 public:
  explicit connection_now(int socket) : mSocket(socket) {}

  template <typename MutableBufferSequence>
  std::size_t read_some(const MutableBufferSequence& buffers, boost::system::error_code& ec) {
    const boost::asio::mutable_buffer first = *boost::asio::buffer_sequence_begin(buffers);
    const ssize_t n = receive_now(mSocket, first.data(), first.size());
    if (n > 0) {
      ec = {};
      return static_cast<std::size_t>(n);
    }
    if (n == 0)
      ec = boost::asio::error::eof;
    else if (errno == EAGAIN || errno == EWOULDBLOCK)
      ec = boost::asio::error::would_block;
    else
      ec.assign(errno, boost::system::system_category());
    return 0;
  }

  template <typename MutableBufferSequence>
  std::size_t read_some(const MutableBufferSequence& buffers) {
    boost::system::error_code ec;
    const std::size_t n = read_some(buffers, ec);
    if (ec) throw boost::system::system_error(ec);
    return n;
  }

 private:
  int mSocket;
};

}  // namespace KXRWebservice
