// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// One synchronous HTTP exchange with Boost.Beast, bounded in time.
#include "CliTransport.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "CliCall.h"
#include "Protocol.h"

namespace KxrCli {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

// Largest answer accepted: the largest result in Base64 with its envelope.
constexpr std::size_t kMaxAnswerBody = 2 * KxrProtocol::kMaxEntryLength;

// The request of one call.
// A GET of target when document is null.
http::request<http::string_body> MakeRequest(const Endpoint& endpoint, const std::string& target,
                                             const std::string* document) {
  http::request<http::string_body> request{document ? http::verb::post : http::verb::get, target, 11};
  request.set(http::field::host, endpoint.host.empty() ? "localhost" : endpoint.host);
  request.set(http::field::user_agent, "kxr-cli");
  if (document) request.set(http::field::content_type, "text/xml; charset=utf-8");
  request.set(http::field::connection, "close");
  if (document) {
    request.body() = *document;
    request.prepare_payload();
  }
  return request;
}

// Writes the request and reads the answer on a connected stream, each step
// under the stream's deadline; runs the context until done.
template <class Stream>
bool Exchange(asio::io_context& ioc, Stream& stream, const http::request<http::string_body>& request,
              HttpReply& reply, std::string& error) {
  beast::error_code failure;
  beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(kMaxAnswerBody);
  http::async_write(stream, request, [&](beast::error_code ec, std::size_t) {
    if (ec) {
      failure = ec;
      return;
    }
    http::async_read(stream, buffer, parser, [&](beast::error_code readEc, std::size_t) { failure = readEc; });
  });
  ioc.run();
  if (failure) {
    error = failure == beast::error::timeout ? "no answer within " + std::to_string(kCallTimeout.count()) + " s"
                                            : "exchange failed: " + failure.message();
    return false;
  }
  reply.status = parser.get().result_int();
  reply.body = parser.get().body();
  return true;
}

// Sends the request over the Unix-domain socket.
bool SendLocal(const Endpoint& endpoint, const http::request<http::string_body>& request, HttpReply& reply,
               std::string& error) {
  asio::io_context ioc;
  beast::basic_stream<asio::local::stream_protocol> stream(ioc);
  beast::error_code ec;
  stream.socket().connect(asio::local::stream_protocol::endpoint(endpoint.socketPath), ec);
  if (ec) {
    error = "cannot connect to " + endpoint.socketPath + ": " + ec.message();
    return false;
  }
  stream.expires_after(kCallTimeout);
  return Exchange(ioc, stream, request, reply, error);
}

// Sends the request over TCP to the front web server.
bool SendTcp(const Endpoint& endpoint, const http::request<http::string_body>& request, HttpReply& reply,
             std::string& error) {
  asio::io_context ioc;
  asio::ip::tcp::resolver resolver(ioc);
  beast::error_code ec;
  const auto addresses = resolver.resolve(endpoint.host, endpoint.port, ec);
  if (ec) {
    error = "cannot resolve " + endpoint.host + ": " + ec.message();
    return false;
  }
  beast::tcp_stream stream(ioc);
  stream.expires_after(kCallTimeout);
  bool connected = false;
  stream.async_connect(addresses, [&](beast::error_code connectEc, const asio::ip::tcp::endpoint&) {
    ec = connectEc;
    connected = !connectEc;
  });
  ioc.run();
  if (!connected) {
    error = "cannot connect to " + endpoint.host + ":" + endpoint.port + ": " + ec.message();
    return false;
  }
  ioc.restart();
  return Exchange(ioc, stream, request, reply, error);
}

}  // namespace

bool MakeEndpoint(const std::string& url, const std::string& socketPath, Endpoint& endpoint, std::string& error) {
  endpoint = Endpoint();
  std::string path;
  if (url.empty()) {
    endpoint.socketPath = socketPath;
  } else {
    const std::string scheme = "http://";
    if (url.compare(0, scheme.size(), scheme) != 0) {
      error = "only http:// URLs are supported: '" + url + "'";
      return false;
    }
    const std::string rest = url.substr(scheme.size());
    const std::string::size_type slash = rest.find('/');
    const std::string authority = rest.substr(0, slash);
    path = slash == std::string::npos ? "" : rest.substr(slash);
    // A bracketed IPv6 address keeps its colons.
    const std::string::size_type close = authority.rfind(']');
    const std::string::size_type colon = authority.rfind(':');
    const bool hasPort = colon != std::string::npos && (close == std::string::npos || colon > close);
    endpoint.host = authority.substr(0, hasPort ? colon : std::string::npos);
    endpoint.port = hasPort ? authority.substr(colon + 1) : "80";
    if (endpoint.host.size() > 2 && endpoint.host.front() == '[' && endpoint.host.back() == ']')
      endpoint.host = endpoint.host.substr(1, endpoint.host.size() - 2);
    if (endpoint.host.empty() || endpoint.port.empty() ||
        endpoint.port.find_first_not_of("0123456789") != std::string::npos || path.find_first_of("?# ") != std::string::npos) {
      error = "not a URL of the form http://HOST[:PORT][/PATH]: '" + url + "'";
      return false;
    }
  }
  const std::string::size_type service = path.find(KxrProtocol::kServicePath);
  if (service != std::string::npos) {
    endpoint.target = path;
    path.resize(service);
  }
  while (!path.empty() && path.back() == '/') path.pop_back();
  endpoint.base = path;
  if (service == std::string::npos) endpoint.target = path + KxrProtocol::kServicePath;
  return true;
}

namespace {

bool Send(const Endpoint& endpoint, const std::string& target, const std::string* document, HttpReply& reply,
          std::string& error) {
  try {
    const auto request = MakeRequest(endpoint, target, document);
    return endpoint.host.empty() ? SendLocal(endpoint, request, reply, error)
                                 : SendTcp(endpoint, request, reply, error);
  } catch (const std::exception& e) {
    error = std::string("exchange failed: ") + e.what();
    return false;
  }
}

}  // namespace

bool Post(const Endpoint& endpoint, const std::string& document, HttpReply& reply, std::string& error) {
  return Send(endpoint, endpoint.target, &document, reply, error);
}

bool Get(const Endpoint& endpoint, const std::string& path, HttpReply& reply, std::string& error) {
  return Send(endpoint, endpoint.base + path, nullptr, reply, error);
}

}  // namespace KxrCli
