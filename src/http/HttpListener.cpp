// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
#include "HttpListener.h"

#include <syslog.h>

#include <cerrno>
#include <chrono>

#include "ConnectionIo.h"
#include "Settings.h"
#include "http_worker.h"

namespace KXRWebservice {

namespace {

// Without a burst, a turn looks for a second waiting connection only this
// often: each look that finds none costs a system call.
constexpr unsigned kLookEvery = 16;
// Most connections served in one turn: however fast they come, the waiting
// connections, the deadlines and the pause between turns get their time.
constexpr int kMostPerTurn = 32;
// How long accepting stops when the process ran out of descriptors or
// memory: the connections wait in the backlog meanwhile.
constexpr std::chrono::milliseconds kAcceptPause{250};
// A shortage is logged once when it begins: when no accept failed for this
// long before.
constexpr std::chrono::seconds kAcceptFailuresApart{2};

// When an accept last failed for lack of descriptors or memory.
std::chrono::steady_clock::time_point gAcceptFailed{};

// Whether an accept that failed with ec is to be tried again only after a
// pause: the process is out of descriptors, buffers or memory, so that an
// accept at once would fail at once and spin the thread for as long as that
// lasts. Logs the first failure of such a run.
bool pause_after_accept_error(const boost::system::error_code& ec) {
  namespace errc = boost::system::errc;
  if (ec != errc::too_many_files_open && ec != errc::too_many_files_open_in_system && ec != errc::no_buffer_space &&
      ec != errc::not_enough_memory)
    return false;
  const auto now = std::chrono::steady_clock::now();
  if (gAcceptFailed == std::chrono::steady_clock::time_point{} || now - gAcceptFailed > kAcceptFailuresApart)
    syslog(LOG_ERR, "Accept failed: %s", ec.message().c_str());
  gAcceptFailed = now;
  return true;
}

}  // namespace

HttpListener::HttpListener(boost::asio::local::stream_protocol::acceptor& acceptor)
    : mAcceptor(acceptor), mAcceptPause(acceptor.get_executor()) {
  // A look for a further connection must not wait when there is none.
  mAcceptor.native_non_blocking(true);
  mIdle.reserve(KxrSettings::kNumWorkers);
}

void HttpListener::ready(http_worker& worker) {
  mIdle.push_back(&worker);
  if (!mAccepting) arm();
}

void HttpListener::arm() {
  if (mArmed || mPaused || mIdle.empty()) return;
  mAcceptor.async_wait(boost::asio::local::stream_protocol::acceptor::wait_read,
                       [this](const boost::system::error_code& ec) { on_readable(ec); });
  mArmed = true;  // only once the wait is outstanding: starting it may throw
}

void HttpListener::on_readable(const boost::system::error_code& ec) {
  mArmed = false;
  mAccepting = true;
  int accepted = 0;
  // Under load the next connection is usually waiting already; one at a time
  // otherwise, as a look that finds none costs a failed accept.
  const bool more = mBurst || ++mTurns % kLookEvery == 0;
  // A failed wait would fail again at once: it pauses accepting as well.
  bool pause = static_cast<bool>(ec);
  while (!pause && !mIdle.empty() && (accepted == 0 || more) && accepted < kMostPerTurn) {
    const int fd = accept_connection(mAcceptor.native_handle());
    if (fd < 0) {
      // None waiting, or an error: the next turn tries again, at once
      // unless the process is out of descriptors or memory.
      pause = errno != EAGAIN && errno != EWOULDBLOCK &&
              pause_after_accept_error(boost::system::error_code(errno, boost::system::system_category()));
      break;
    }
    ++accepted;
    http_worker* worker = mIdle.back();
    mIdle.pop_back();
    worker->serve(fd);
  }
  if (pause) {
    mPaused = true;
    mAcceptPause.expires_after(kAcceptPause);
    mAcceptPause.async_wait([this](const boost::system::error_code&) {
      mPaused = false;
      arm();
    });
  }
  mBurst = accepted > 1;
  mAccepting = false;
  arm();
}

}  // namespace KXRWebservice
