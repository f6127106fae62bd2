// A connection worker: its cycle (accept, arm the deadline, read one
// request), the routing of the request, and its answers: files, plain
// answers and the web-service endpoint. An answer goes out at once as far as
// the socket takes it; only the rest waits.
#include "http_worker.h"

#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <tuple>
#include <utility>

#include <boost/beast/core/buffers_range.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

#include "ConnectionIo.h"
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
// Most bytes of a file sent in one turn of the loop.
constexpr std::size_t kFileChunk = 65536;
// A file up to this size goes in the same send as its header.
constexpr std::size_t kSmallFile = 16384;
// Most pieces of one gathered send: an answer's header comes in about eight.
constexpr int kMaxPieces = 16;
// How long a worker waits before accepting again when the process ran out of
// descriptors or memory: the connections wait in the backlog meanwhile.
constexpr std::chrono::milliseconds kAcceptPause{250};

// How long the thread has been held by web-service calls, all connections'
// together. A connection's deadline moves on by the part of it that fell
// after the connection's accept: while a call holds the thread, nothing of
// the other connections can make progress.
std::chrono::steady_clock::duration gThreadHeld{};
// When an accept last failed for lack of descriptors or memory. The shortage
// is logged once when it begins: when no accept failed for a while before.
std::chrono::steady_clock::time_point gAcceptFailed{};
constexpr std::chrono::seconds kAcceptFailuresApart{2};

// Adds the time the thread spends in its scope to gThreadHeld.
class ThreadHeld {
 public:
  ThreadHeld() : mBegun(std::chrono::steady_clock::now()) {}
  ~ThreadHeld() { gThreadHeld += std::chrono::steady_clock::now() - mBegun; }
  ThreadHeld(const ThreadHeld&) = delete;
  ThreadHeld& operator=(const ThreadHeld&) = delete;

 private:
  std::chrono::steady_clock::time_point mBegun;
};

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

// How far an answer got without waiting.
enum class Sent { All, Blocked, Failed };

// Sends what the serializer holds (the header, and a string body), then the
// extra bytes, in as few sends as the socket takes without waiting;
// extraSent counts the extra bytes that went.
template <typename Serializer>
Sent send_now(int socket, Serializer& sr, const char* extra, std::size_t extraSize, std::size_t& extraSent) {
  for (;;) {
    iovec pieces[kMaxPieces];
    int count = 0;
    std::size_t fromSerializer = 0;
    bool whole = true;  // every piece the serializer has is in pieces
    if (!sr.is_done()) {
      boost::beast::error_code ec;
      sr.next(ec, [&](boost::beast::error_code&, const auto& buffers) {
        for (const auto buffer : boost::beast::buffers_range_ref(buffers)) {
          if (count == kMaxPieces - 1) {
            whole = false;
            break;
          }
          pieces[count++] = {const_cast<void*>(buffer.data()), buffer.size()};
          fromSerializer += buffer.size();
        }
      });
      if (ec) return Sent::Failed;
    }
    if (whole && extraSent < extraSize) pieces[count++] = {const_cast<char*>(extra) + extraSent, extraSize - extraSent};
    if (count == 0) return Sent::All;
    const ssize_t n = send_gathered(socket, pieces, count);
    if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? Sent::Blocked : Sent::Failed;
    const auto sent = static_cast<std::size_t>(n);
    const std::size_t ofSerializer = std::min(sent, fromSerializer);
    if (ofSerializer > 0) sr.consume(ofSerializer);
    extraSent += sent - ofSerializer;
  }
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
      mDeadline(acceptor.get_executor(), kNever),
      mAcceptPause(acceptor.get_executor()) {}

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
    accept_after_error(ec);
    return;
  }
  // The connection has this long for its request and its answer together.
  mAcceptedAt = std::chrono::steady_clock::now();
  mHeldAtAccept = gThreadHeld;
  mDeadline.expires_at(mAcceptedAt + KxrSettings::kDeadline);
  read_request();
}

void http_worker::accept_after_error(const boost::beast::error_code& ec) {
  if (!pause_after_accept_error(ec)) {
    accept();
    return;
  }
  mAcceptPause.expires_after(kAcceptPause);
  mAcceptPause.async_wait([this](const boost::beast::error_code&) { accept(); });
}

void http_worker::read_request() {
  // Replacing the parser gives all of the previous request's header fields
  // back, so the arena starts again from its first byte.
  mParser.emplace(std::piecewise_construct, std::make_tuple(), std::make_tuple(mAlloc));
  mParser->header_limit(static_cast<std::uint32_t>(KxrSettings::kHeaderLimit));
  mParser->body_limit(KxrSettings::kBodyLimit);
  http::async_read_header(mSocket, mBuffer, *mParser,
                          [this](const boost::beast::error_code& ec, std::size_t n) { on_header(ec, n); });
}

void http_worker::on_header(const boost::beast::error_code& ec, std::size_t headerBytes) {
  // The parser takes the request line off the buffer before the fields and
  // then allows the fields the whole limit by themselves: the request line
  // and the fields together are held to it here. The count covers the whole
  // header also when its Content-Length is over the body limit.
  if (headerBytes > KxrSettings::kHeaderLimit) {
    accept();
    return;
  }
  if (ec || mParser->is_done()) {
    on_read(ec);
    return;
  }
  http::async_read(mSocket, mBuffer, *mParser,
                   [this](const boost::beast::error_code& read, std::size_t) { on_read(read); });
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
  const auto now = std::chrono::steady_clock::now();
  if (mDeadline.expiry() <= now) {
    // Time that web-service calls held the thread does not count: this
    // connection could not move then. Without such calls the cut is at 60 s.
    const auto due = connection_deadline();
    if (due > now) {
      mDeadline.expires_at(due);
    } else {
      // A failing close must not end the daemon; the socket is gone either way.
      boost::beast::error_code ignored;
      mSocket.close(ignored);
      mDeadline.expires_at(kNever);
    }
  }
  mDeadline.async_wait([this](const boost::beast::error_code&) { check_deadline(); });
}

std::chrono::steady_clock::time_point http_worker::connection_deadline() const {
  return mAcceptedAt + KxrSettings::kDeadline + (gThreadHeld - mHeldAtAccept);
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
  // Faults are answered with status 200 too: clients read the document. The
  // call sends no sub-request after this connection's deadline, so that its
  // answer still goes out.
  const EndpointAnswer answer = [&] {
    ThreadHeld held;
    return AnswerEndpoint(req.body(), mLock, connection_deadline());
  }();
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
  open_regular_fd(mDocRoot, fileName, fd, size, ec);
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

  mFileSerializer.emplace(*mFileResponse);
  send_file_head();
}

void http_worker::send_file_head() {
  // A small file's bytes, read for the one send. The buffer is shared by the
  // workers of the one thread, as nothing outlives this call.
  static char small[kSmallFile];
  std::size_t smallSize = 0;
  if (mFileLeft <= kSmallFile) {
    const ssize_t got = ::pread(mFileFd, small, static_cast<std::size_t>(mFileLeft), 0);
    if (got > 0) smallSize = static_cast<std::size_t>(got);
  }
  std::size_t smallSent = 0;
  const Sent sent = send_now(mSocket.native_handle(), *mFileSerializer, small, smallSize, smallSent);
  mFileOffset += smallSent;
  mFileLeft -= smallSent;
  if (sent == Sent::Failed) {
    finish_answer();
    return;
  }
  if (sent == Sent::All || mFileSerializer->is_done()) {
    send_file_body();
    return;
  }
  // The socket is full before the header is out: the rest of it by waiting.
  http::async_write(mSocket, *mFileSerializer, [this](const boost::beast::error_code& written, std::size_t) {
    if (written)
      finish_answer();
    else
      send_file_body();
  });
}

void http_worker::send_file_body() {
  boost::beast::error_code ec;
  // The request's read has normally left the socket non-blocking already; a
  // file piece must never wait in the kernel.
  if (!mSocket.native_non_blocking()) mSocket.native_non_blocking(true, ec);
  while (!ec && mFileLeft > 0) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(mFileLeft, std::uint64_t{kFileChunk}));
    const ssize_t n = send_file_piece(mSocket.native_handle(), mFileFd, mFileOffset, want);
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
  std::size_t none = 0;
  if (send_now(mSocket.native_handle(), *mStringSerializer, nullptr, 0, none) != Sent::Blocked) {
    finish_answer();
    return;
  }
  // The socket is full: the rest by waiting.
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
