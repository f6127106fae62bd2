// A connection worker on one request of any method and target (after a newline in the input, a body): exactly one
// well-formed answer whenever the request parses, never a file from outside the document root, and the worker is
// ready for the next connection afterwards.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include "FuzzCheck.h"
#include "http_worker.h"

namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;

const char kSecret[] = "outside-the-document-root";  // beside the document root: no answer may carry it
const char kIndex[] = "index page", kStyle[] = "body { color: red }";

void Write(const std::string& path, const std::string& content) { std::ofstream(path, std::ios::binary) << content; }

// The directory, document root, listening socket, its listener and the one worker.
struct Server {
  std::string dir = "/tmp/kxr-fuzz-routing-" + std::to_string(::getpid());
  std::string socketPath = dir + "/web0";
  asio::io_context io{1};
  std::unique_ptr<asio::local::stream_protocol::acceptor> acceptor;
  std::unique_ptr<KXRWebservice::HttpListener> listener;
  std::unique_ptr<KXRWebservice::http_worker> worker;

  Server() {
    for (const char* sub : {"", "/root", "/root/css", "/root/dir.htm"}) ::mkdir((dir + sub).c_str(), 0755);
    Write(dir + "/root/index.htm", kIndex);
    Write(dir + "/root/css/a.css", kStyle);
    for (const char* name : {"/secret.htm", "/rootsecret.htm"}) Write(dir + name, kSecret);
    ::unlink(socketPath.c_str());
    acceptor = std::make_unique<asio::local::stream_protocol::acceptor>(
        io, asio::local::stream_protocol::endpoint(socketPath));
    listener = std::make_unique<KXRWebservice::HttpListener>(*acceptor);
    worker = std::make_unique<KXRWebservice::http_worker>(*listener, dir + "/root");
    worker->start();
  }
};

Server& TheServer() { static Server* server = new Server(); return *server; }

// Whether Beast's parser, with the worker's limits, takes these bytes as one whole request (or stops at the body
// limit, answered with 413), and the request line and header fields together stay within 8192 bytes.
bool Parses(const std::string& request) {
  const std::size_t headerEnd = request.find("\r\n\r\n");
  if (headerEnd == std::string::npos || headerEnd + 4 > 8192) return false;
  http::request_parser<http::string_body> parser;
  parser.header_limit(8192), parser.body_limit(1048576), parser.eager(true);
  boost::beast::error_code ec;
  std::size_t used = 0;
  while (!ec && used < request.size() && !parser.is_done())
    used += parser.put(asio::buffer(request.data() + used, request.size() - used), ec);
  if (ec == http::error::need_more) ec = {};
  if (!ec && !parser.is_done()) parser.put_eof(ec);
  return (!ec && parser.is_done()) || ec == http::error::body_limit;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Server& server = TheServer();
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t newline = input.find('\n');
  const std::string line = input.substr(0, newline);
  const std::string sent = newline == std::string::npos ? "" : input.substr(newline + 1);
  const std::string request = line + " HTTP/1.1\r\nHost: h\r\n" +
      (newline == std::string::npos ? "" : "Content-Length: " + std::to_string(sent.size()) + "\r\n") + "\r\n" + sent;

  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{AF_UNIX, {}};
  std::strncpy(addr.sun_path, server.socketPath.c_str(), sizeof addr.sun_path - 1);
  Check(::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0, "connect");
  Check(::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size()), "send");
  ::shutdown(fd, SHUT_WR);

  // Runs the worker until it closes the connection.
  std::string reply;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (bool open = true; open;) {
    Check(std::chrono::steady_clock::now() < deadline, "the worker answers within 10 s");
    server.io.poll();
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 0) > 0) {
      char chunk[65536];
      const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if ((open = n > 0)) reply.append(chunk, static_cast<size_t>(n));
    } else server.io.run_one_for(std::chrono::milliseconds(5));
  }
  ::close(fd);

  // (The 400 answer echoes the method, so a request naming the secret may see it.)
  if (request.find(kSecret) == std::string::npos)
    Check(reply.find(kSecret) == std::string::npos, "no file from outside the document root");
  if (reply.empty()) return Check(!Parses(request), "a request that parses is answered"), 0;
  // Exactly one well-formed answer: Beast's parser takes all of it, with a Content-Length.
  http::response_parser<http::string_body> answer;
  answer.eager(true), answer.body_limit(1u << 24);
  boost::beast::error_code ec;
  const std::size_t used = answer.put(asio::buffer(reply), ec);
  Check(!ec && answer.is_done() && used == reply.size() && answer.content_length(), "exactly one well-formed answer");
  const unsigned status = answer.get().result_int();
  Check(status == 200 || status == 400 || status == 404 || status == 413, "only the documented statuses");
  const std::string& body = answer.get().body();
  if (status == 200 && answer.get()[http::field::content_type] != "text/xml" &&
      body.find("KXR Webserver") == std::string::npos)
    Check(body == kIndex || body == kStyle, "a file answer is a file of the document root");
  return 0;
}
