// A connection worker: its cycle (accept, arm the deadline, read one
// request), the routing of the request, and its answers: files, plain
// answers and the web-service endpoint.
#include "http_worker.h"

#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <tuple>
#include <utility>

#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

#include "HttpRouting.h"
#include "Verbose.h"
#include "WebService.h"

namespace KXRWebservice {

pthread_mutex_t http_worker::mLock;

namespace {

// The timer's expiry while no connection is being served: never.
constexpr auto kNever = (std::chrono::steady_clock::time_point::max)();
// Value of the Server field of every answer.
constexpr char kServerName[] = "Beast";
// Size of the buffer through which file bodies go to the socket.
constexpr std::size_t kFileChunk = 65536;

// Sends up to count bytes of the file from offset to the socket; the result
// of one send: bytes sent, or -1 and errno. The buffer is shared by the
// workers of the one thread: each call sends from it at once, so nothing
// outlives its contents. A send, unlike a file-to-socket copy by the kernel,
// can refuse to raise SIGPIPE when the peer is gone.
ssize_t send_file_chunk(int socket, int fd, std::uint64_t offset, std::size_t count) {
  static char buffer[kFileChunk];
  const ssize_t got = ::pread(fd, buffer, count < sizeof buffer ? count : sizeof buffer, static_cast<off_t>(offset));
  if (got <= 0) return got;
  return ::send(socket, buffer, static_cast<std::size_t>(got), MSG_NOSIGNAL);
}

// Writes, in verbose mode, how the target was rewritten and where it points.
void log_route(std::string_view target, const RouteDecision& decision, const std::string& docRoot) {
  if (!v) return;
  syslog(LOG_NOTICE, "target: %s", std::string(target).c_str());
  syslog(LOG_NOTICE, "target: %s", decision.stripped.c_str());
  syslog(LOG_NOTICE, "target: %s", decision.path.c_str());
  syslog(LOG_NOTICE, "process_request: root: %s", docRoot.c_str());
  syslog(LOG_NOTICE, "process_request: file: %s", decision.path.c_str());
  syslog(LOG_NOTICE, "process_request: full: %s", (docRoot + decision.path).c_str());
}

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


void http_worker::process_request(const worker_request& req) {
  const RouteDecision decision = decide_route(req.method(), req.target());
  log_route(req.target(), decision, mDocRoot);

  switch (decision.route) {
    case Route::BadMethod:
      send_bad_response(http::status::bad_request, bad_method_body(req.method_string()));
      break;
    case Route::Endpoint:
      send_kxr_response(req);
      break;
    case Route::File:
      send_file(decision.path);
      break;
  }
}

void http_worker::send_kxr_response(const worker_request& req) {
  // Faults are answered with status 200 too: clients read the document.
  const EndpointAnswer answer = AnswerEndpoint(req.body(), mLock);
  if (answer.isPage)
    send_html_response(http::status::ok, answer.body);
  else
    send_xml_response(http::status::ok, answer.body);
}

void http_worker::send_file(std::string_view path) {
  std::string fileName;
  if (!file_name_for(mDocRoot, path, fileName)) {
    send_bad_response(http::status::not_found, kFileNotFound);
    return;
  }
  boost::beast::error_code ec;
  int fd = -1;
  std::uint64_t size = 0;
  open_regular_fd(fileName, fd, size, ec);
  if (ec) {
    if (v) syslog(LOG_NOTICE, "send_file: file_open: %s %s", fileName.c_str(), ec.message().c_str());
    send_bad_response(http::status::not_found, kFileNotFound);
    return;
  }
  mFileFd = fd;
  mFileOffset = 0;
  mFileLeft = size;

  mFileResponse.emplace(std::piecewise_construct, std::make_tuple(), std::make_tuple(mAlloc));
  mFileResponse->result(http::status::ok);
  mFileResponse->keep_alive(false);
  mFileResponse->set(http::field::server, kServerName);
  mFileResponse->set(http::field::content_type, mime_type(fileName));
  mFileResponse->content_length(size);

  // The header goes through the serializer; the body then goes from the file
  // to the socket in large pieces, with one copy on the way.
  mFileSerializer.emplace(*mFileResponse);
  http::async_write(mSocket, *mFileSerializer, [this](const boost::beast::error_code& written, std::size_t) {
    if (written)
      finish_answer();
    else
      send_file_body();
  });
}

void http_worker::send_file_body() {
  boost::beast::error_code ec;
  // The header's write has normally left the socket non-blocking already.
  if (!mSocket.native_non_blocking()) mSocket.native_non_blocking(true, ec);
  while (!ec && mFileLeft > 0) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(mFileLeft, std::uint64_t{kFileChunk}));
    const ssize_t n = send_file_chunk(mSocket.native_handle(), mFileFd, mFileOffset, want);
    if (n < 0 && errno == EINTR) continue;
    if (n > 0) {
      mFileOffset += static_cast<std::uint64_t>(n);
      mFileLeft -= static_cast<std::uint64_t>(n);
      if (mFileLeft == 0) break;
    } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
      break;  // the peer is gone, or the file became shorter than its header said
    }
    // One piece per turn: the other workers and the deadlines run between
    // pieces, however fast this client reads. The deadline's close of the
    // socket ends the wait with an error.
    mSocket.async_wait(boost::asio::local::stream_protocol::socket::wait_write,
                       [this](const boost::beast::error_code& waited) {
                         if (waited)
                           finish_answer();
                         else
                           send_file_body();
                       });
    return;
  }
  finish_answer();
}

void http_worker::close_file() {
  if (mFileFd >= 0) ::close(mFileFd);
  mFileFd = -1;
  mFileLeft = 0;
}

void http_worker::send_response(http::status status, const std::string& body,
                                const std::string& contentType) {
  mStringResponse.emplace(std::piecewise_construct, std::make_tuple(), std::make_tuple(mAlloc));
  mStringResponse->result(status);
  mStringResponse->keep_alive(false);
  mStringResponse->set(http::field::server, kServerName);
  mStringResponse->set(http::field::content_type, contentType);
  mStringResponse->body() = body;
  mStringResponse->prepare_payload();

  mStringSerializer.emplace(*mStringResponse);
  http::async_write(mSocket, *mStringSerializer,
                    [this](const boost::beast::error_code&, std::size_t) { finish_answer(); });
}

void http_worker::send_bad_response(http::status status, const std::string& body) {
  send_response(status, body, "text/plain");
}

void http_worker::send_html_response(http::status status, const std::string& body) {
  send_response(status, body, "text/html");
}

void http_worker::send_xml_response(http::status status, const std::string& body) {
  send_response(status, body, "text/xml");
}

void http_worker::finish_answer() {
  boost::beast::error_code ignored;
  mSocket.shutdown(boost::asio::local::stream_protocol::socket::shutdown_send, ignored);
  abandon_connection();  // the answer is out: release its slots and accept again
}

}  // namespace KXRWebservice
