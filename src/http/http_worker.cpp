// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// A connection worker: its cycle (take a connection from the listener, read
// one request), the routing of the request, and its answers: files, plain
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

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/beast/core/buffers_range.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/system/system_error.hpp>

#include "ConnectionIo.h"
#include "HttpRouting.h"
#include "Verbose.h"
#include "WebService.h"

namespace KXRWebservice {

pthread_mutex_t http_worker::mLock;

namespace {

// The timer's expiry until a connection first waits: never.
constexpr auto kNever = (std::chrono::steady_clock::time_point::max)();
// Value of the Server field of every answer.
constexpr char kServerName[] = "Beast";
// Most bytes of a file sent in one turn of the loop.
constexpr std::size_t kFileChunk = 65536;
// A file up to this size goes in the same send as its header.
constexpr std::size_t kSmallFile = 16384;
// The bodies and fields of the answers about signing in.
constexpr char kSignInRequired[] = "Sign-in required\r\n";
constexpr char kSignInRefused[] = "Sign-in refused\r\n";
constexpr char kSignedOut[] = "Signed out\r\n";
constexpr char kBasicChallenge[] = "Basic realm=\"KXRWebServer\"";
constexpr char kSessionChallenge[] = "Session realm=\"KXRWebServer\"";
// The session cookie is sent back only over HTTPS, to this host's every
// path, never to a script of the page, and never with a request that
// another site started.
constexpr char kCookieAttributes[] = "; Secure; HttpOnly; SameSite=Strict; Path=/";
// Most pieces of one gathered send: an answer's header comes in about eight.
constexpr int kMaxPieces = 16;

// How long the thread has been held by web-service calls, all connections'
// together. A connection's deadline moves on by the part of it that fell
// after the connection's accept, up to one more deadline: while a call holds
// the thread, nothing of the other connections can make progress, but calls
// that follow each other must not keep a connection for ever.
std::chrono::steady_clock::duration gThreadHeld{};

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

// A connection read through the HTTP library's synchronous read without ever
// waiting: "would block" ends the read with what has arrived so far.
class connection_now {
 public:
  explicit connection_now(int socket) : mSocket(socket) {}

  template <typename MutableBufferSequence>
  std::size_t read_some(const MutableBufferSequence& buffers, boost::system::error_code& ec) {
    const boost::asio::mutable_buffer first = *boost::asio::buffer_sequence_begin(buffers);
    ssize_t n;
    do
      n = ::recv(mSocket, first.data(), first.size(), MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
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

  // Required of a stream by the library; the worker reads with the form above.
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

http_worker::http_worker(HttpListener& listener, const DocumentRoot& root, KxrAccess::AccessGate& gate)
    : mListener(listener),
      mRoot(root),
      mGate(gate),
      mSocket(listener.get_executor()),
      mAlloc(KxrSettings::kHeaderArenaSize),
      mDeadline(listener.get_executor(), kNever) {}

void http_worker::start() { accept(); }

void http_worker::step(void (http_worker::*what)()) {
  try {
    (this->*what)();
  } catch (const std::exception& e) {
    // Out of memory (a body's 1 MiB, the header arena), or the HTTP library:
    // this connection ends without an answer. Only a worker already handed
    // back to the listener rethrows, as the exception then came from the
    // listener's own wait, without which nothing is accepted any more.
    if (!holds_connection()) throw;
    if (v) syslog(LOG_NOTICE, "Connection dropped: %s", e.what());
    if (mWaiting) {
      // The wait ends with an error, and that ends the connection: handing
      // the worker back here too would give it two connections.
      boost::beast::error_code ignored;
      mSocket.close(ignored);
      return;
    }
    abandon_connection();
  }
}

void http_worker::accept() {
  boost::beast::error_code ignored;
  if (mSocket.is_open())
    mSocket.close(ignored);
  else if (mFd >= 0)
    ::close(mFd);
  mFd = -1;
  mBuffer.consume(mBuffer.size());
  mListener.ready(*this);
}

void http_worker::serve(int fd) {
  mFd = fd;
  mPeer = KxrAccess::PeerOf(fd);
  // The connection has this long for its request and its answer together.
  // The deadline is watched only once the connection has to wait: served
  // within this one turn of the loop, it cannot run out.
  mAcceptedAt = std::chrono::steady_clock::now();
  mHeldAtAccept = gThreadHeld;
  mAnswerBy = {};
  step(&http_worker::read_request);
}

bool http_worker::wait_from_here() {
  if (mSocket.is_open()) return true;
  // Asio takes any descriptor handed to it for one that may have duplicates,
  // and takes it out of the event loop's set before its close; it makes the
  // socket non-blocking (as it is already) at the first wait.
  boost::beast::error_code ec;
  mSocket.assign(boost::asio::local::stream_protocol(), mFd, ec);
  if (ec) {
    abandon_connection();
    return false;
  }
  mFd = -1;
  watch_deadline();
  return true;
}

void http_worker::wait_then(boost::asio::socket_base::wait_type what, void (http_worker::*ready)(),
                            void (http_worker::*failed)()) {
  if (!wait_from_here()) return;
  mSocket.async_wait(what, [this, ready, failed](const boost::beast::error_code& waited) {
    mWaiting = false;
    step(waited ? failed : ready);
  });
  mWaiting = true;  // only once the wait is outstanding: starting it may throw
}

void http_worker::read_request() {
  // Replacing the parser gives all of the previous request's header fields
  // back, so the arena starts again from its first byte.
  mParser.emplace(std::piecewise_construct, std::make_tuple(), std::make_tuple(mAlloc));
  mParser->header_limit(static_cast<std::uint32_t>(KxrSettings::kHeaderLimit));
  mParser->body_limit(KxrSettings::kBodyLimit);
  mHeaderBytes = 0;
  read_arrived();
}

void http_worker::read_arrived() {
  // Usually the whole request has arrived by the time it is accepted.
  boost::beast::error_code ec;
  connection_now now(connection());
  if (!mParser->is_header_done()) {
    mHeaderBytes += http::read_header(now, mBuffer, *mParser, ec);
    // The parser takes the request line off the buffer before the fields and
    // then allows the fields the whole limit by themselves: the request line
    // and the fields together are held to it here. The count covers the
    // whole header also when its Content-Length is over the body limit.
    if (mHeaderBytes > KxrSettings::kHeaderLimit) {
      abandon_connection();
      return;
    }
  }
  if (!ec) http::read(now, mBuffer, *mParser, ec);
  if (ec != boost::asio::error::would_block) {
    on_read(ec);
    return;
  }
  // The rest when it comes. A closed socket (the deadline) ends the wait
  // with an error, which drops the connection like a failed read.
  wait_then(boost::asio::socket_base::wait_read, &http_worker::read_arrived, &http_worker::abandon_connection);
}

void http_worker::on_read(const boost::beast::error_code& ec) {
  if (ec && ec != http::error::body_limit) {
    abandon_connection();
    return;
  }
  if (ec) {
    if (v) syslog(LOG_NOTICE, "Request payload too large!");
    send_bad_response(http::status::payload_too_large, kPayloadTooLarge);
  } else {
    process_request(mParser->get());
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

void http_worker::watch_deadline() {
  // A watch still pending from an earlier connection ends sooner (that one
  // was accepted earlier) and then watches again for this one: the timer is
  // never cancelled per connection.
  if (mDeadlineWatched || !mSocket.is_open()) return;
  mDeadline.expires_at(connection_deadline());
  mDeadline.async_wait([this](const boost::beast::error_code&) {
    mDeadlineWatched = false;
    step(&http_worker::check_deadline);
  });
  mDeadlineWatched = true;  // only once the wait is outstanding: starting it may throw
}

void http_worker::check_deadline() {
  // Only a connection that waits can outlive its deadline; time that
  // web-service calls held the thread counts only beyond another 60 s, as
  // this connection could not move then. Without such calls the cut is at
  // 60 s, with them at 120 s at the latest.
  if (mSocket.is_open() && connection_deadline() <= std::chrono::steady_clock::now()) {
    // A failing close must not end the daemon; the socket is gone either way.
    // The outstanding wait ends with an error, which ends the connection.
    boost::beast::error_code ignored;
    mSocket.close(ignored);
  }
  watch_deadline();
}

std::chrono::steady_clock::time_point http_worker::connection_deadline() const {
  const std::chrono::steady_clock::duration held = gThreadHeld - mHeldAtAccept;
  return (std::max)(mAnswerBy, mAcceptedAt + KxrSettings::kDeadline +
                                   (std::min)(held, std::chrono::steady_clock::duration(KxrSettings::kDeadline)));
}

void http_worker::process_request(const worker_request& req) {
  const RouteDecision decision = decide_route(req.method(), req.target());
  log_route(req.target(), decision, mRoot.path());

  switch (decision.route) {
    case Route::BadMethod:
      send_bad_response(http::status::bad_request, bad_method_body(req.method_string()));
      return;
    case Route::SignIn:
      sign_in(req);
      return;
    case Route::SignOut:
      sign_out(req);
      return;
    case Route::File:
      if (is_public_file(decision)) {
        send_file(decision.path);
        return;
      }
      break;
    case Route::Endpoint:
    case Route::Session:
      break;
  }
  const KxrAccess::Verdict verdict = mGate.Identify(facts_of(req), std::chrono::steady_clock::now());
  if (!verdict.caller) {
    refuse(req, decision, verdict);
    return;
  }
  if (decision.route == Route::Endpoint)
    send_kxr_response(req, *verdict.caller);
  else if (decision.route == Route::Session)
    send_response(http::status::ok, KxrAccess::AccessGate::SessionDocument(*verdict.caller), "application/json");
  else
    send_file(decision.path);
}

KxrAccess::RequestFacts http_worker::facts_of(const worker_request& req) const {
  KxrAccess::RequestFacts facts;
  facts.peer = mPeer;
  const auto text = [](const auto& field) { return std::string_view(field.value().data(), field.value().size()); };
  for (auto [at, end] = req.equal_range(http::field::cookie); at != end; ++at) facts.cookies.push_back(text(*at));
  for (auto [at, end] = req.equal_range(http::field::authorization); at != end; ++at)
    facts.authorizations.push_back(text(*at));
  for (auto [at, end] = req.equal_range(KxrAccess::kClientField); at != end; ++at)
    if (facts.client.count++ == 0) facts.client.value = text(*at);
  return facts;
}

void http_worker::refuse(const worker_request& req, const RouteDecision& decision, const KxrAccess::Verdict& verdict) {
  if (decision.route == Route::File) {
    const std::string page = sign_in_page(req.target(), decision);
    send_response(http::status::see_other, "", "text/plain", {{http::field::location, page}});
    return;
  }
  // A browser whose session has ended is not asked for a password in a
  // dialog of its own: its pages take it to the sign-in page.
  send_response(http::status::unauthorized, kSignInRequired, "text/plain",
                {{http::field::www_authenticate, verdict.endedSession ? kSessionChallenge : kBasicChallenge}});
}

void http_worker::sign_in(const worker_request& req) {
  KxrAccess::Caller caller;
  const auto token = mGate.SignIn(facts_of(req), req.body(), std::chrono::steady_clock::now(), caller);
  if (!token) {
    send_bad_response(http::status::forbidden, kSignInRefused);
    return;
  }
  const std::string cookie = std::string(KxrAccess::kSessionCookie) + "=" + *token + kCookieAttributes;
  send_response(http::status::ok, KxrAccess::AccessGate::SessionDocument(caller), "application/json",
                {{http::field::set_cookie, cookie}});
}

void http_worker::sign_out(const worker_request& req) {
  mGate.SignOut(facts_of(req), std::chrono::steady_clock::now());
  const std::string cookie = std::string(KxrAccess::kSessionCookie) + "=" + kCookieAttributes + "; Max-Age=0";
  send_response(http::status::ok, kSignedOut, "text/plain", {{http::field::set_cookie, cookie}});
}

void http_worker::send_kxr_response(const worker_request& req, const KxrAccess::Caller& caller) {
  // Faults are answered with status 200 too: clients read the document. The
  // call sends no sub-request after this connection's deadline, so that its
  // answer still goes out.
  const EndpointAnswer answer = [&] {
    ThreadHeld held;
    return AnswerEndpoint(req.body(), caller, mLock, connection_deadline());
  }();
  // Whatever the call has done, writes included, is reported: its answer has
  // a whole deadline of its own to go out, even when the call ended after
  // the connection's cut (the answer of a late call would otherwise be cut
  // at its first wait for a full socket).
  mAnswerBy = std::chrono::steady_clock::now() + KxrSettings::kDeadline;
  if (answer.isPage)
    send_html_response(http::status::ok, answer.body);
  else
    send_xml_response(http::status::ok, answer.body);
}

void http_worker::send_file(std::string_view path) {
  std::string fileName;
  if (!file_name_for(mRoot.path(), path, fileName)) {
    send_bad_response(http::status::not_found, kFileNotFound);
    return;
  }
  boost::beast::error_code ec;
  int fd = -1;
  std::uint64_t size = 0;
  mRoot.open_regular(fileName, fd, size, ec);
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
    const ssize_t got =
        ::pread(mFileFd, small, static_cast<std::size_t>(mFileLeft), static_cast<off_t>(mFileOffset));
    if (got > 0) smallSize = static_cast<std::size_t>(got);
  }
  std::size_t smallSent = 0;
  const Sent sent = send_now(connection(), *mFileSerializer, small, smallSize, smallSent);
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
  // The socket is full before the header is out: the rest when there is room.
  wait_then(boost::asio::socket_base::wait_write, &http_worker::send_file_head, &http_worker::finish_answer);
}

void http_worker::send_file_body() {
  while (mFileLeft > 0) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(mFileLeft, std::uint64_t{kFileChunk}));
    const ssize_t n = send_file_piece(connection(), mFileFd, mFileOffset, want);
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
    wait_then(boost::asio::socket_base::wait_write, &http_worker::send_file_body, &http_worker::finish_answer);
    return;
  }
  finish_answer();
}

void http_worker::close_file() {
  if (mFileFd >= 0) ::close(mFileFd);
  mFileFd = -1;
  mFileLeft = 0;
}

void http_worker::send_response(http::status status, const std::string& body, const std::string& contentType,
                                std::initializer_list<extra_field> extra) {
  mStringResponse.emplace(std::piecewise_construct, std::make_tuple(), std::make_tuple(mAlloc));
  mStringResponse->result(status);
  mStringResponse->keep_alive(false);
  mStringResponse->set(http::field::server, kServerName);
  mStringResponse->set(http::field::content_type, contentType);
  for (const auto& [name, value] : extra) mStringResponse->set(name, value);
  mStringResponse->body() = body;
  mStringResponse->prepare_payload();

  mStringSerializer.emplace(*mStringResponse);
  send_string_answer();
}

void http_worker::send_string_answer() {
  std::size_t none = 0;
  if (send_now(connection(), *mStringSerializer, nullptr, 0, none) != Sent::Blocked) {
    finish_answer();
    return;
  }
  // The socket is full: the rest when there is room.
  wait_then(boost::asio::socket_base::wait_write, &http_worker::send_string_answer, &http_worker::finish_answer);
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
  ::shutdown(connection(), SHUT_WR);  // an error changes nothing: the connection ends
  abandon_connection();  // the answer is out: release its slots and accept again
}

}  // namespace KXRWebservice
