// A connection worker: accepts one connection at a time on the shared acceptor,
// reads one request within the connection's deadline, answers it and closes.
#pragma once

#include <pthread.h>

#include <chrono>
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
  // The worker's socket and timer live on the acceptor's executor.
  http_worker(boost::asio::local::stream_protocol::acceptor& acceptor, const std::string& docRoot);
  http_worker(const http_worker&) = delete;
  http_worker& operator=(const http_worker&) = delete;

  // Begins the cycle: the first accept and the deadline's watch.
  void start();

  // Held around each web-service execution so only one batch reaches the devices.
  static pthread_mutex_t mLock;

 private:
  // Closes the previous connection and waits for the next one.
  void accept();
  // Arms the deadline and reads, or accepts again on error.
  void on_accept(const boost::beast::error_code& ec);
  // Accepts again after a failed accept: after a pause when the process is
  // out of descriptors or memory, at once otherwise.
  void accept_after_error(const boost::beast::error_code& ec);
  // Reads one request's header through a fresh parser.
  void read_request();
  // Drops a header over the limit, else reads the body, if any.
  void on_header(const boost::beast::error_code& ec, std::size_t headerBytes);
  // Answers the request read, or drops the connection.
  void on_read(const boost::beast::error_code& ec);
  // Closes the connection once its deadline has passed, and watches again.
  void check_deadline();
  // The current connection's deadline: 60 seconds after its accept, plus the
  // time the thread has spent in web-service calls since then.
  std::chrono::steady_clock::time_point connection_deadline() const;
  // Releases the answer's slots and accepts again, dropping the connection;
  // only valid while no write is outstanding, so every answer starts its
  // write as its last step.
  void abandon_connection();

  // Routes one request to the endpoint, a file or a 400 answer.
  void process_request(const worker_request& req);
  // Answers with a file below the document root, or 404.
  void send_file(std::string_view path);
  // Sends a file answer's header, with the bytes of a small file in the same send.
  void send_file_head();
  // Sends what is left of the open file's bytes, waiting while the socket is full.
  void send_file_body();
  // Closes the file of a file answer, if one is open.
  void close_file();
  // Answers with a string body of the given content type.
  void send_response(http::status status, const std::string& body, const std::string& contentType);
  // Answers with a "text/plain" body.
  void send_bad_response(http::status status, const std::string& body);
  // Answers with a "text/html" body.
  void send_html_response(http::status status, const std::string& body);
  // Answers with a "text/xml" body.
  void send_xml_response(http::status status, const std::string& body);
  // Sends the web-service endpoint's answer (AnswerEndpoint) with status 200.
  void send_kxr_response(const worker_request& req);
  // Ends a connection after its answer's write.
  void finish_answer();

  boost::asio::local::stream_protocol::acceptor& mAcceptor;  // shared by all workers
  std::string mDocRoot;                                      // without a trailing '/'
  boost::asio::local::stream_protocol::socket mSocket;       // the current connection
  boost::beast::flat_static_buffer<KxrSettings::kReadBufferSize> mBuffer;  // read buffer
  fields_alloc<char> mAlloc;                                 // owns the header arena
  std::optional<http::request_parser<http::string_body, fields_alloc<char>>> mParser;
  boost::asio::steady_timer mDeadline;                       // the connection's deadline
  std::chrono::steady_clock::time_point mAcceptedAt;         // when the current connection was accepted
  std::chrono::steady_clock::duration mHeldAtAccept{};       // the thread's time in calls by then
  boost::asio::steady_timer mAcceptPause;                    // the pause after a failed accept
  std::optional<string_response> mStringResponse;            // string answer slot
  std::optional<http::response_serializer<http::string_body, worker_fields>> mStringSerializer;
  std::optional<file_response> mFileResponse;                // file answer slot
  std::optional<http::response_serializer<http::empty_body, worker_fields>> mFileSerializer;
  int mFileFd = -1;                                          // the file being sent, or -1
  std::uint64_t mFileOffset = 0;                             // next byte of it to send
  std::uint64_t mFileLeft = 0;                               // bytes of it still to send
};

}  // namespace KXRWebservice
