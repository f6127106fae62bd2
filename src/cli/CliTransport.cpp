// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// One synchronous HTTP exchange with Boost.Beast, bounded in time and cut
// short by a signal; TLS through Asio's OpenSSL layer.
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

volatile std::sig_atomic_t gStopSignal = 0;

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

// The request: a POST of body as contentType, or a GET when contentType is null.
http::request<http::string_body> MakeRequest(const Endpoint& endpoint, const std::string& target,
                                             const char* contentType, const std::string& body) {
  http::request<http::string_body> request{contentType ? http::verb::post : http::verb::get, target, 11};
  const bool defaultPort = endpoint.port == (endpoint.tls ? "443" : "80");
  request.set(http::field::host, endpoint.host.empty() ? "localhost" : defaultPort ? Bracketed(endpoint.host) : Peer(endpoint));
  request.set(http::field::user_agent, "kxr-cli");
  if (!endpoint.cookie.empty()) request.set(http::field::cookie, kSessionCookie + ("=" + endpoint.cookie));
  request.set(http::field::connection, "close");
  if (contentType) {
    request.set(http::field::content_type, contentType);
    request.body() = body;
    request.prepare_payload();
  }
  return request;
}

const char kInterrupted[] = "interrupted by a signal";

// Runs the context until its work is done; false when a signal asked the run
// to end first.
bool Drive(asio::io_context& ioc) {
  while (!ioc.stopped() && !gStopSignal) ioc.run_for(std::chrono::milliseconds(100));
  return ioc.stopped();
}

// Writes the request and reads the answer on a connected stream, each step
// under the stream's deadline; runs the context until done.
template <class Stream>
bool Exchange(const Endpoint& endpoint, asio::io_context& ioc, Stream& stream,
              const http::request<http::string_body>& request, HttpReply& reply, std::string& error) {
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
  if (!Drive(ioc)) {
    error = kInterrupted;
    return false;
  }
  if (failure) {
    error = failure == beast::error::timeout ? "no answer within " + std::to_string(endpoint.timeout.count()) + " s"
                                            : "exchange failed: " + failure.message();
    return false;
  }
  reply.status = parser.get().result_int();
  reply.reason = std::string(parser.get().reason());
  reply.location = std::string(parser.get()[http::field::location]);
  reply.body = parser.get().body();
  const std::string set = kSessionCookie + std::string("=");
  for (const auto& field : parser.get()) {
    const std::string value(field.value());
    if (field.name() == http::field::set_cookie && value.compare(0, set.size(), set) == 0)
      reply.session = value.substr(set.size(), value.find(';') - set.size());
  }
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
  stream.expires_after(endpoint.timeout);
  return Exchange(endpoint, ioc, stream, request, reply, error);
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
  stream.expires_after(endpoint.timeout);
  bool connected = false;
  stream.async_connect(addresses, [&](beast::error_code connectEc, const asio::ip::tcp::endpoint&) {
    ec = connectEc;
    connected = !connectEc;
  });
  if (!Drive(ioc)) {
    error = kInterrupted;
    return false;
  }
  ioc.restart();
  if (!connected) error = "cannot connect to " + Peer(endpoint) + ": " + ec.message();
  return connected;
}

// Sends the request over TCP to the front web server.
bool SendTcp(const Endpoint& endpoint, const http::request<http::string_body>& request, HttpReply& reply,
             std::string& error) {
  asio::io_context ioc;
  beast::tcp_stream stream(ioc);
  return Connect(ioc, endpoint, stream, error) && Exchange(endpoint, ioc, stream, request, reply, error);
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
// gives, against its subject alternative names, never its common name: a
// name there is not known to have been checked as a name.
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
  if (!endpoint.insecure) {
    // OpenSSL takes an address as an address, to match IP entries only.
    SSL_set_hostflags(stream.native_handle(), X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
    if (SSL_set1_host(stream.native_handle(), endpoint.host.c_str()) != 1) {
      error = "cannot check the certificate for " + endpoint.host;
      return false;
    }
    stream.set_verify_callback([&](bool preverified, ssl::verify_context& verify) {
      const int why = X509_STORE_CTX_get_error(verify.native_handle());
      if (!preverified)
        refused = why == X509_V_ERR_HOSTNAME_MISMATCH || why == X509_V_ERR_IP_ADDRESS_MISMATCH
                      ? "the certificate is not for " + endpoint.host
                      : X509_verify_cert_error_string(why);
      return preverified;
    });
  }
  if (!Connect(ioc, endpoint, beast::get_lowest_layer(stream), error)) return false;
  stream.async_handshake(ssl::stream_base::client, [&](beast::error_code handshakeEc) { ec = handshakeEc; });
  if (!Drive(ioc)) {
    error = kInterrupted;
    return false;
  }
  ioc.restart();
  if (ec) {
    error = "TLS with " + Peer(endpoint) + " failed: " +
            (!refused.empty() ? "certificate refused: " + refused
             : ec == beast::error::timeout ? "no answer within " + std::to_string(endpoint.timeout.count()) + " s"
                                          : ec.message());
    return false;
  }
  return Exchange(endpoint, ioc, stream, request, reply, error);
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
    const unsigned long port = endpoint.port.size() > 5 ? 0 : std::stoul(endpoint.port);
    if (port < 1 || port > 65535) {
      error = "the port of '" + url + "' is not one of 1 to 65535";
      return false;
    }
    endpoint.port = std::to_string(port);
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

bool Send(const Endpoint& endpoint, const std::string& target, const char* contentType, const std::string& body,
          HttpReply& reply, std::string& error) {
  try {
    const auto request = MakeRequest(endpoint, target, contentType, body);
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

bool CheckCaFile(const std::string& path, std::string& error) {
  ssl::context context(ssl::context::tls_client);
  beast::error_code ec;
  context.load_verify_file(path, ec);
  if (ec) error = "--cacert " + path + ": no certificate could be loaded (" + ec.message() + ")";
  return !ec;
}

bool Post(const Endpoint& endpoint, const std::string& document, HttpReply& reply, std::string& error) {
  return Send(endpoint, endpoint.target, "text/xml; charset=utf-8", document, reply, error);
}

bool PostForm(const Endpoint& endpoint, const std::string& path, const std::string& form, HttpReply& reply,
              std::string& error) {
  return Send(endpoint, endpoint.base + path, "application/x-www-form-urlencoded", form, reply, error);
}

bool Get(const Endpoint& endpoint, const std::string& path, HttpReply& reply, std::string& error) {
  return Send(endpoint, endpoint.base + path, nullptr, "", reply, error);
}

}  // namespace KxrCli
