// The worker's cycle: accept, arm the deadline, read one request, hand it on.
#include "http_worker.h"

#include <syslog.h>

#include <exception>
#include <tuple>
#include <utility>

#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>

#include "http_routing.h"
#include "Verbose.h"

namespace KXRWebservice {

pthread_mutex_t http_worker::mLock;

namespace {

// The timer's expiry while no connection is being served: never.
constexpr auto kNever = (std::chrono::steady_clock::time_point::max)();

}  // namespace

http_worker::http_worker(boost::asio::local::stream_protocol::acceptor& acceptor,
                         const std::string& docRoot)
    : mAcceptor(acceptor),
      mDocRoot(docRoot),
      mSocket(acceptor.get_executor()),
      mAlloc(KxrSettings::kHeaderArenaSize),
      mDeadline(acceptor.get_executor(), kNever) {}

void http_worker::start() {
  accept();
  check_deadline();
}

void http_worker::accept() {
  boost::beast::error_code ignored;
  mSocket.close(ignored);
  mBuffer.consume(mBuffer.size());
  mAcceptor.async_accept(mSocket, [this](const boost::beast::error_code& ec) { on_accept(ec); });
}

void http_worker::on_accept(const boost::beast::error_code& ec) {
  if (ec) {
    accept();
    return;
  }
  // The connection has this long for its request and its answer together.
  mDeadline.expires_after(KxrSettings::kDeadline);
  read_request();
}

void http_worker::read_request() {
  // Replacing the parser gives all of the previous request's header fields
  // back, so the arena starts again from its first byte.
  mParser.emplace(std::piecewise_construct, std::make_tuple(), std::make_tuple(mAlloc));
  mParser->header_limit(static_cast<std::uint32_t>(KxrSettings::kHeaderLimit));
  mParser->body_limit(KxrSettings::kBodyLimit);
  http::async_read(mSocket, mBuffer, *mParser,
                   [this](const boost::beast::error_code& ec, std::size_t) { on_read(ec); });
}

void http_worker::on_read(const boost::beast::error_code& ec) {
  if (ec && ec != http::error::body_limit) {
    accept();
    return;
  }
  // Whatever goes wrong while answering ends this connection, not the daemon.
  try {
    if (ec) {
      if (v) syslog(LOG_NOTICE, "Request payload too large!");
      send_bad_response(http::status::payload_too_large, kPayloadTooLarge);
    } else {
      process_request(mParser->get());
    }
  } catch (const std::exception&) {
    abandon_connection();
  }
}

void http_worker::abandon_connection() {
  close_file();
  mStringSerializer.reset();
  mStringResponse.reset();
  mFileSerializer.reset();
  mFileResponse.reset();
  // The request is done with: an idle worker must not keep a body of up to
  // 1 MiB until its next connection.
  mParser.reset();
  accept();
}

void http_worker::check_deadline() {
  if (mDeadline.expiry() <= std::chrono::steady_clock::now()) {
    // A failing close must not end the daemon; the socket is gone either way.
    boost::beast::error_code ignored;
    mSocket.close(ignored);
    mDeadline.expires_at(kNever);
  }
  mDeadline.async_wait([this](const boost::beast::error_code&) { check_deadline(); });
}

void http_worker::finish_answer() {
  boost::beast::error_code ignored;
  mSocket.shutdown(boost::asio::local::stream_protocol::socket::shutdown_send, ignored);
  abandon_connection();  // the answer is out: release its slots and accept again
}

}  // namespace KXRWebservice
