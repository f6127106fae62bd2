// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// A connection worker: serves one connection at a time, handed to it by the
// listener; reads one request within the connection's deadline, answers it and
// closes. An exception ends the connection it was serving, not the daemon.
#pragma once

#include <pthread.h>

#include <chrono>
#include <initializer_list>
#include <utility>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/flat_static_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/fields.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/serializer.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/http/string_body.hpp>

#include "AccessGate.h"
#include "DocumentRoot.h"
#include "HttpListener.h"
#include "HttpRouting.h"
#include "Settings.h"
#include "fields_alloc.h"

namespace KXRWebservice {

namespace http = boost::beast::http;

// Header fields of a request and of its answer, held in the worker's arena.
using worker_fields = http::basic_fields<fields_alloc<char>>;
// A request as the worker reads it.
using worker_request = http::request<http::string_body, worker_fields>;
// An answer with a string body.
using string_response = http::response<http::string_body, worker_fields>;
// The header of a file answer; the body follows straight from the file.
using file_response = http::response<http::empty_body, worker_fields>;

// Serves one connection at a time, one request per connection. Its handlers
// refer to it by address, so it is never copied or moved.
class http_worker {
 public:
  // The worker's socket and timer live on the listener's executor; the
  // root and the gate outlive the worker.
  http_worker(HttpListener& listener, const DocumentRoot& root, KxrAccess::AccessGate& gate);
  http_worker(const http_worker&) = delete;
  http_worker& operator=(const http_worker&) = delete;

  // Begins the cycle: offers the worker to the listener.
  void start();
  // Serves a connection that the listener has accepted for this worker.
  void serve(int fd);

  // Held around each web-service execution so only one batch reaches the devices.
  static pthread_mutex_t mLock;

 private:
  // Runs one step of the connection's service (its start, the resume after
  // a wait, the deadline's check) within the worker's exception boundary.
  void step(void (http_worker::*what)());
  // Whether the worker holds a connection, waiting or not.
  bool holds_connection() const { return mFd >= 0 || mSocket.is_open(); }
  // Closes the previous connection and tells the listener that the worker is free.
  void accept();
  // Reads one request through a fresh parser.
  void read_request();
  // Reads what has arrived of the request, and waits for the rest.
  void read_arrived();
  // Hands the connection to the event loop, so that the worker can wait for
  // it to become readable or writable, and watches its deadline; false when
  // the connection had to be dropped instead. The worker reads and writes the
  // descriptor itself, never waiting in a call.
  bool wait_from_here();
  // Waits from here until the connection is readable or writable, then calls
  // ready; calls failed when the wait ends with an error (the deadline closed
  // the socket).
  void wait_then(boost::asio::socket_base::wait_type what, void (http_worker::*ready)(), void (http_worker::*failed)());
  // The connection's descriptor, whether the event loop holds it or not.
  int connection() { return mSocket.is_open() ? mSocket.native_handle() : mFd; }
  // Answers the request read, or drops the connection.
  void on_read(const boost::beast::error_code& ec);
  // Makes sure that the timer ends no later than the waiting connection's deadline.
  void watch_deadline();
  // Closes the waiting connection once its deadline has passed, and watches again.
  void check_deadline();
  // The current connection's deadline: 60 seconds after its accept, plus the
  // time the thread has spent in web-service calls since then, but at most
  // another 60 seconds; once a web-service call has run, no earlier than 60
  // seconds after its end, for its answer.
  std::chrono::steady_clock::time_point connection_deadline() const;
  // Releases the answer's slots and accepts again, dropping the connection;
  // only valid while no write is outstanding, so every answer starts its
  // write as its last step.
  void abandon_connection();

  // Routes one request to the endpoint, a file, sign-in or sign-out, the
  // session document or a 400 answer, each for the caller the gate knows.
  void process_request(const worker_request& req);
  // What the request offers the gate: the peer, its cookies and credentials.
  KxrAccess::RequestFacts facts_of(const worker_request& req) const;
  // Answers a request that has no caller: 401 for the endpoint and the
  // session document, the sign-in page for any other file.
  void refuse(const worker_request& req, const RouteDecision& decision, const KxrAccess::Verdict& verdict);
  // Signs in with the form in the body: the session's cookie, or 403.
  void sign_in(const worker_request& req);
  // Ends the request's sessions and clears the cookie.
  void sign_out(const worker_request& req);
  // Answers with a file below the document root, or 404.
  void send_file(std::string_view path);
  // Sends a file answer's header, with the bytes of a small file in the same send.
  void send_file_head();
  // Sends what is left of the open file's bytes, waiting while the socket is full.
  void send_file_body();
  // Closes the file of a file answer, if one is open.
  void close_file();
  // A header field of an answer beside the usual ones.
  using extra_field = std::pair<http::field, std::string_view>;
  // Answers with a string body of the given content type, and extra fields.
  void send_response(http::status status, const std::string& body, const std::string& contentType,
                     std::initializer_list<extra_field> extra = {});
  // Sends what is left of the string answer, waiting while the socket is full.
  void send_string_answer();
  // Answers with a "text/plain" body.
  void send_bad_response(http::status status, const std::string& body);
  // Answers with a "text/html" body.
  void send_html_response(http::status status, const std::string& body);
  // Answers with a "text/xml" body.
  void send_xml_response(http::status status, const std::string& body);
  // Sends the web-service endpoint's answer (AnswerEndpoint) with status 200.
  void send_kxr_response(const worker_request& req, const KxrAccess::Caller& caller);
  // Ends a connection after its answer's write.
  void finish_answer();

  HttpListener& mListener;                                   // shared by all workers
  const DocumentRoot& mRoot;                                 // shared by all workers
  KxrAccess::AccessGate& mGate;                              // shared by all workers
  KxrAccess::Peer mPeer;                                     // who connected, as the kernel tells
  int mFd = -1;                                              // the current connection, until it waits
  boost::asio::local::stream_protocol::socket mSocket;       // the current connection, once it waits
  bool mWaiting = false;                                     // a wait of mSocket is pending
  boost::beast::flat_static_buffer<KxrSettings::kReadBufferSize> mBuffer;  // read buffer
  fields_alloc<char> mAlloc;                                 // owns the header arena
  std::optional<http::request_parser<http::string_body, fields_alloc<char>>> mParser;
  std::size_t mHeaderBytes = 0;                              // of the request line and fields, read so far
  boost::asio::steady_timer mDeadline;                       // watches a waiting connection's deadline
  bool mDeadlineWatched = false;                             // a wait of mDeadline is pending
  std::chrono::steady_clock::time_point mAcceptedAt;         // when the current connection was accepted
  std::chrono::steady_clock::duration mHeldAtAccept{};       // the thread's time in calls by then
  std::chrono::steady_clock::time_point mAnswerBy{};         // a call's answer goes out by then
  std::optional<string_response> mStringResponse;            // string answer slot
  std::optional<http::response_serializer<http::string_body, worker_fields>> mStringSerializer;
  std::optional<file_response> mFileResponse;                // file answer slot
  std::optional<http::response_serializer<http::empty_body, worker_fields>> mFileSerializer;
  int mFileFd = -1;                                          // the file being sent, or -1
  std::uint64_t mFileOffset = 0;                             // next byte of it to send
  std::uint64_t mFileLeft = 0;                               // bytes of it still to send
};

}  // namespace KXRWebservice
