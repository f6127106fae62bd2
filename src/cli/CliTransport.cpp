// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// One synchronous HTTP exchange with Boost.Beast, bounded in time; TLS
// through Asio's OpenSSL layer.
#include "CliTransport.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include "CliCall.h"
#include "Protocol.h"

namespace KxrCli {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;

// Largest answer accepted: the largest result in Base64 with its envelope.
constexpr std::size_t kMaxAnswerBody = 2 * KxrProtocol::kMaxEntryLength;

// The host, IPv6 in brackets.
std::string Bracketed(const std::string& host) {
  return host.find(':') == std::string::npos ? host : "[" + host + "]";
}

// The request of one call.
// A GET of target when document is null.
http::request<http::string_body> MakeRequest(const Endpoint& endpoint, const std::string& target,
                                             const std::string* document) {
  http::request<http::string_body> request{document ? http::verb::post : http::verb::get, target, 11};
  const bool defaultPort = endpoint.port == (endpoint.tls ? "443" : "80");
  request.set(http::field::host, endpoint.host.empty() ? "localhost" : defaultPort ? Bracketed(endpoint.host) : Peer(endpoint));
  request.set(http::field::user_agent, "kxr-cli");
  if (!endpoint.authorization.empty()) request.set(http::field::authorization, endpoint.authorization);
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
  reply.reason = std::string(parser.get().reason());
  reply.location = std::string(parser.get()[http::field::location]);
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

// Connects the stream to the front web server, under its deadline.
bool Connect(asio::io_context& ioc, const Endpoint& endpoint, beast::tcp_stream& stream, std::string& error) {
  asio::ip::tcp::resolver resolver(ioc);
  beast::error_code ec;
  const auto addresses = resolver.resolve(endpoint.host, endpoint.port, ec);
  if (ec) {
    error = "cannot resolve " + endpoint.host + ": " + ec.message();
    return false;
  }
  stream.expires_after(kCallTimeout);
  bool connected = false;
  stream.async_connect(addresses, [&](beast::error_code connectEc, const asio::ip::tcp::endpoint&) {
    ec = connectEc;
    connected = !connectEc;
  });
  ioc.run();
  ioc.restart();
  if (!connected) error = "cannot connect to " + Peer(endpoint) + ": " + ec.message();
  return connected;
}

// Sends the request over TCP to the front web server.
bool SendTcp(const Endpoint& endpoint, const http::request<http::string_body>& request, HttpReply& reply,
             std::string& error) {
  asio::io_context ioc;
  beast::tcp_stream stream(ioc);
  return Connect(ioc, endpoint, stream, error) && Exchange(ioc, stream, request, reply, error);
}

// The client's TLS context: TLS 1.2 at least, and the trust anchors.
bool MakeTlsContext(const Endpoint& endpoint, ssl::context& context, std::string& error) {
  beast::error_code ec;
  if (SSL_CTX_set_min_proto_version(context.native_handle(), TLS1_2_VERSION) != 1) {
    error = "cannot require TLS 1.2";
    return false;
  }
  if (endpoint.insecure) {
    context.set_verify_mode(ssl::verify_none);
    return true;
  }
  context.set_verify_mode(ssl::verify_peer);
  if (endpoint.caFile.empty())
    context.set_default_verify_paths(ec);
  else
    context.load_verify_file(endpoint.caFile, ec);
  if (ec) error = (endpoint.caFile.empty() ? "cannot load the system's certificates: " : "cannot load " + endpoint.caFile + ": ") + ec.message();
  return !ec;
}

// Sends the request over TLS to the front web server: the certificate is
// verified against the trust anchors and, by the name or address the URL
// gives, against its subject-alternative names.
bool SendTls(const Endpoint& endpoint, const http::request<http::string_body>& request, HttpReply& reply,
             std::string& error) {
  ssl::context context(ssl::context::tls_client);
  if (!MakeTlsContext(endpoint, context, error)) return false;
  asio::io_context ioc;
  beast::ssl_stream<beast::tcp_stream> stream(ioc, context);
  beast::error_code ec;
  // A name goes out as SNI, so that a server of several names picks this
  // one's certificate; an address may not (RFC 6066).
  asio::ip::make_address(endpoint.host, ec);
  if (ec && SSL_set_tlsext_host_name(stream.native_handle(), endpoint.host.c_str()) != 1) {
    error = "cannot set the TLS server name " + endpoint.host;
    return false;
  }
  std::string refused;  // why the certificate was refused
  if (!endpoint.insecure)
    stream.set_verify_callback([&](bool preverified, ssl::verify_context& verify) {
      if (!preverified) {
        refused = X509_verify_cert_error_string(X509_STORE_CTX_get_error(verify.native_handle()));
        return false;
      }
      if (ssl::host_name_verification(endpoint.host)(preverified, verify)) return true;
      refused = "the certificate is not for " + endpoint.host;
      return false;
    });
  if (!Connect(ioc, endpoint, beast::get_lowest_layer(stream), error)) return false;
  stream.async_handshake(ssl::stream_base::client, [&](beast::error_code handshakeEc) { ec = handshakeEc; });
  ioc.run();
  ioc.restart();
  if (ec) {
    error = "TLS with " + Peer(endpoint) + " failed: " +
            (!refused.empty() ? "certificate refused: " + refused
             : ec == beast::error::timeout ? "no answer within " + std::to_string(kCallTimeout.count()) + " s"
                                          : ec.message());
    return false;
  }
  return Exchange(ioc, stream, request, reply, error);
}

}  // namespace

bool MakeEndpoint(const std::string& url, const std::string& socketPath, Endpoint& endpoint, std::string& error) {
  endpoint = Endpoint();
  std::string path;
  if (url.empty()) {
    endpoint.socketPath = socketPath;
  } else {
    endpoint.tls = url.compare(0, 8, "https://") == 0;
    if (!endpoint.tls && url.compare(0, 7, "http://") != 0) {
      error = "only http:// and https:// URLs are supported: '" + url + "'";
      return false;
    }
    const std::string rest = url.substr(endpoint.tls ? 8 : 7);
    const std::string::size_type slash = rest.find('/');
    const std::string authority = rest.substr(0, slash);
    path = slash == std::string::npos ? "" : rest.substr(slash);
    // A bracketed IPv6 address keeps its colons.
    const std::string::size_type close = authority.rfind(']');
    const std::string::size_type colon = authority.rfind(':');
    const bool hasPort = colon != std::string::npos && (close == std::string::npos || colon > close);
    endpoint.host = authority.substr(0, hasPort ? colon : std::string::npos);
    endpoint.port = hasPort ? authority.substr(colon + 1) : endpoint.tls ? "443" : "80";
    if (endpoint.host.size() > 2 && endpoint.host.front() == '[' && endpoint.host.back() == ']')
      endpoint.host = endpoint.host.substr(1, endpoint.host.size() - 2);
    if (endpoint.host.empty() || endpoint.port.empty() ||
        endpoint.port.find_first_not_of("0123456789") != std::string::npos || path.find_first_of("?# ") != std::string::npos) {
      error = "not a URL of the form http[s]://HOST[:PORT][/PATH]: '" + url + "'";
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
    if (endpoint.host.empty()) return SendLocal(endpoint, request, reply, error);
    return endpoint.tls ? SendTls(endpoint, request, reply, error) : SendTcp(endpoint, request, reply, error);
  } catch (const std::exception& e) {
    error = std::string("exchange failed: ") + e.what();
    return false;
  }
}

}  // namespace

std::string Peer(const Endpoint& endpoint) {
  return endpoint.host.empty() ? endpoint.socketPath : Bracketed(endpoint.host) + ":" + endpoint.port;
}

bool IsLoopback(const std::string& host) {
  beast::error_code ec;
  const asio::ip::address address = asio::ip::make_address(host, ec);
  return ec ? beast::iequals(host, "localhost") : address.is_loopback();
}

bool CheckCaFile(const std::string& path, std::string& error) {
  ssl::context context(ssl::context::tls_client);
  beast::error_code ec;
  context.load_verify_file(path, ec);
  if (ec) error = "--cacert " + path + ": no certificate could be loaded (" + ec.message() + ")";
  return !ec;
}

bool Post(const Endpoint& endpoint, const std::string& document, HttpReply& reply, std::string& error) {
  return Send(endpoint, endpoint.target, &document, reply, error);
}

bool Get(const Endpoint& endpoint, const std::string& path, HttpReply& reply, std::string& error) {
  return Send(endpoint, endpoint.base + path, nullptr, reply, error);
}

}  // namespace KxrCli
