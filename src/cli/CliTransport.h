// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The HTTP exchange of kxr-cli: one request, over the daemon's Unix-domain
// socket, or over TCP or TLS to the front web server.
#pragma once

#include <chrono>
#include <csignal>
#include <string>

#include "Protocol.h"

namespace KxrCli {

// How long one exchange may take, connect to last byte: longer than nginx's
// 190 s, so that through nginx kxr-cli reports nginx's 504 instead of giving
// up first (docs/design.md, "Fixed figures and why").
inline constexpr std::chrono::seconds kCallTimeout{200};

using KxrProtocol::kSessionCookie;

// The signal that asked the run to end, 0 while none did: an exchange under
// way gives up at once, so that the run can still sign out before it ends.
extern volatile std::sig_atomic_t gStopSignal;

// Where a call goes.
struct Endpoint {
  std::string socketPath;  // Unix-domain socket; used when host is empty
  std::string host;        // TCP host of the front web server, IPv6 without brackets
  std::string port;        // TCP port, "80" by default, "443" with TLS
  bool tls = false;        // https://: TLS 1.2 or later
  std::string caFile;      // TLS: trust this PEM file instead of the system's store
  bool insecure = false;   // TLS: verify neither the certificate nor the host name
  std::string cookie;      // the session's cookie value, sent on every request; empty for none
  std::string user;        // the name signed in with, for messages
  std::chrono::seconds timeout = kCallTimeout;  // of one exchange
  std::string target;      // request target, the service path included
  std::string base;        // PATH of the URL without the service path and trailing '/', for files
};

// The endpoint for a URL (http:// or https://HOST[:PORT][/PATH], PORT 1 to
// 65535) or, when url is empty, for the socket. The service path is appended
// to PATH unless PATH holds it.
bool MakeEndpoint(const std::string& url, const std::string& socketPath, Endpoint& endpoint, std::string& error);

// One HTTP answer.
struct HttpReply {
  unsigned status = 0;   // HTTP status
  std::string reason;    // its reason phrase
  std::string location;  // the Location header of a redirect
  std::string session;   // the session cookie's value a Set-Cookie field gave, empty for none
  std::string body;      // the answer's body
};

// "HOST:PORT" of a TCP endpoint (IPv6 in brackets), the socket's path else.
std::string Peer(const Endpoint& endpoint);
// Whether a PEM file holds at least one certificate OpenSSL can load.
bool CheckCaFile(const std::string& path, std::string& error);

// Posts the document and reads the answer; false and a reason when no
// answer came (connection, timeout, HTTP syntax, TLS handshake, the
// server's certificate, or gStopSignal).
bool Post(const Endpoint& endpoint, const std::string& document, HttpReply& reply, std::string& error);
// Posts a form (application/x-www-form-urlencoded) to a path ("/kxr-signin")
// under the endpoint's base path; false and a reason as for Post.
bool PostForm(const Endpoint& endpoint, const std::string& path, const std::string& form, HttpReply& reply,
              std::string& error);
// Gets a file of the daemon's document root (path "/dictionary.json") under
// the endpoint's base path; false and a reason as for Post.
bool Get(const Endpoint& endpoint, const std::string& path, HttpReply& reply, std::string& error);

}  // namespace KxrCli
