// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Hands the connections of the listening socket to free workers. It waits on
// the socket only while a worker is free, so that further connections wait in
// the socket's backlog, and accepts when the socket is readable: one
// connection a turn while they come one by one, up to 32 a turn under load.
// Either way an accept rarely finds nothing.
#pragma once

#include <vector>

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

namespace KXRWebservice {

class http_worker;

class HttpListener {
 public:
  // Takes a listening acceptor and makes it non-blocking.
  explicit HttpListener(boost::asio::local::stream_protocol::acceptor& acceptor);
  HttpListener(const HttpListener&) = delete;
  HttpListener& operator=(const HttpListener&) = delete;

  // The executor on which the workers' sockets and timers live.
  boost::asio::local::stream_protocol::acceptor::executor_type get_executor() { return mAcceptor.get_executor(); }

  // The worker is free for the next connection.
  void ready(http_worker& worker);

 private:
  // Waits for the socket to become readable, when a worker is free.
  void arm();
  // Accepts what is waiting and gives each connection to a free worker.
  void on_readable(const boost::system::error_code& ec);

  boost::asio::local::stream_protocol::acceptor& mAcceptor;
  boost::asio::steady_timer mAcceptPause;  // the pause after a failed accept
  std::vector<http_worker*> mIdle;         // free workers, the last freed on top
  bool mArmed = false;                     // a wait on the socket is outstanding
  bool mAccepting = false;                 // inside on_readable: it arms when done
  bool mPaused = false;                    // accepting waits for mAcceptPause
  bool mBurst = false;                     // the last turn found more than one connection
  unsigned mTurns = 0;                     // turns outside a burst; every 16th looks for a second one
};

}  // namespace KXRWebservice
