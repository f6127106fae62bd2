// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The socket through which the event loop watches a connection that has to
// wait: its request has not arrived, or the socket is full.
#pragma once

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/system/error_code.hpp>

namespace KXRWebservice {

// Takes over a descriptor from the listener's accept4. Asio treats any
// descriptor handed to it as one that may be shared with another
// descriptor, and as blocking until told otherwise: it would switch the
// socket to non-blocking mode at the first wait (an ioctl) and take it out
// of the event loop's set before closing it (an epoll_ctl or a kevent). Both
// are needless here, as the connection is non-blocking since its accept and
// no other descriptor refers to it, so that its close alone takes it out of
// the set; with a known Asio the socket is told so.
class connection_socket : public boost::asio::local::stream_protocol::socket {
 public:
  using boost::asio::local::stream_protocol::socket::socket;

  // Adopts fd, which must be non-blocking and have no duplicates.
  void adopt(int fd, boost::system::error_code& ec);
};

}  // namespace KXRWebservice
