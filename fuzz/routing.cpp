// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// A connection worker on one request of any method and target (after a newline in the input, a body): exactly one
// well-formed answer whenever the request parses, never a file from outside the document root, and the worker is
// ready for the next connection afterwards.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include "FuzzCheck.h"
#include "http_worker.h"

namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;

const char kSecret[] = "outside-the-document-root";  // beside the document root: no answer may carry it
const char kIndex[] = "index page", kStyle[] = "body { color: red }";

// The directory, document root, listening socket, its listener and the one worker, made once.
struct Server {
  std::string dir = "/tmp/kxr-fuzz-routing-" + std::to_string(::getpid()), socketPath = dir + "/web0";
  asio::io_context io{1};
  asio::local::stream_protocol::acceptor acceptor{io};
  std::unique_ptr<KXRWebservice::HttpListener> listener;
  std::unique_ptr<KXRWebservice::DocumentRoot> root;
  // No users: root on the socket is served, any request with the front server's field is refused.
  KxrAccess::AccessGate gate{KxrAccess::UserDirectory(dir + "/users", dir + "/roles"),
                             KxrAccess::SessionTable(8, 2, std::chrono::minutes(15), std::chrono::hours(12)),
                             std::chrono::steady_clock::now()};
  std::unique_ptr<KXRWebservice::http_worker> worker;

  Server() {
    for (const char* sub : {"", "/root", "/root/css", "/root/dir.htm"}) ::mkdir((dir + sub).c_str(), 0755);
    for (const auto& [name, content] : {std::pair{"/root/index.htm", kIndex}, {"/root/css/a.css", kStyle},
                                        {"/secret.htm", kSecret}, {"/rootsecret.htm", kSecret}})
      std::ofstream(dir + name, std::ios::binary) << content;
    ::unlink(socketPath.c_str());
    acceptor = asio::local::stream_protocol::acceptor(io, asio::local::stream_protocol::endpoint(socketPath));
    listener = std::make_unique<KXRWebservice::HttpListener>(acceptor);
    root = std::make_unique<KXRWebservice::DocumentRoot>(dir + "/root");
    (worker = std::make_unique<KXRWebservice::http_worker>(*listener, *root, gate))->start();
    std::atexit(RemoveDir);  // the fuzzer ends by exit(): its folder goes with it
  }
  static void RemoveDir();
};
Server& server = *new Server();  // never destroyed: the worker may still hold its socket
void Server::RemoveDir() {
  std::error_code ignored;
  std::filesystem::remove_all(server.dir, ignored);
}

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
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t newline = input.find('\n');
  const std::string sent = newline == std::string::npos ? "" : input.substr(newline + 1);
  const std::string request = input.substr(0, newline) + " HTTP/1.1\r\nHost: h\r\n" +
      (newline == std::string::npos ? "" : "Content-Length: " + std::to_string(sent.size()) + "\r\n") + "\r\n" + sent;

  asio::local::stream_protocol::socket client(server.io);  // errors throw: libFuzzer keeps the input
  client.connect(asio::local::stream_protocol::endpoint(server.socketPath));
  asio::write(client, asio::buffer(request));
  client.shutdown(asio::socket_base::shutdown_send);
  client.non_blocking(true);
  // Runs the worker until it closes the connection.
  std::string reply;
  boost::system::error_code ec;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (char chunk[65536]; !ec || ec == asio::error::would_block;) {
    Check(std::chrono::steady_clock::now() < deadline, "the worker answers within 10 s");
    server.io.run_one_for(std::chrono::milliseconds(1));
    reply.append(chunk, client.read_some(asio::buffer(chunk), ec));
  }
  client.close();

  // (The 400 answer echoes the method, so a request naming the secret may see it.)
  if (request.find(kSecret) == std::string::npos)
    Check(reply.find(kSecret) == std::string::npos, "no file from outside the document root");
  if (reply.empty()) return Check(!Parses(request), "a request that parses is answered"), 0;
  // Exactly one well-formed answer: Beast's parser takes all of it, with a Content-Length.
  http::response_parser<http::string_body> answer;
  answer.eager(true), answer.body_limit(1u << 24);
  ec.clear();
  const std::size_t used = answer.put(asio::buffer(reply), ec);
  Check(!ec && answer.is_done() && used == reply.size() && answer.content_length(), "exactly one well-formed answer");
  const unsigned status = answer.get().result_int();
  Check(status == 200 || status == 303 || status == 400 || status == 401 || status == 403 || status == 404 ||
            status == 413,
        "only the documented statuses");
  const std::string& body = answer.get().body();
  const auto type = answer.get()[http::field::content_type];
  if (status == 200 && type != "text/xml" && type != "application/json" && type != "text/plain" &&
      body.find("KXR Webserver") == std::string::npos)
    Check(body == kIndex || body == kStyle, "a file answer is a file of the document root");
  return 0;
}
