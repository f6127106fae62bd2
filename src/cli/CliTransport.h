// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The HTTP exchange of kxr-cli: one POST, over the daemon's Unix-domain
// socket or over TCP to a front web server.
#pragma once

#include <chrono>
#include <string>

namespace KxrCli {

// How long one exchange may take, connect to last byte: longer than the
// daemon's own 60 s per connection, so that its answer is never cut off here.
inline constexpr std::chrono::seconds kCallTimeout{90};

// Where a call goes.
struct Endpoint {
  std::string socketPath;  // Unix-domain socket; used when host is empty
  std::string host;        // TCP host of the front web server
  std::string port;        // TCP port, "80" by default
  std::string target;      // request target, the service path included
  std::string base;        // PATH of the URL without the service path and trailing '/', for files
};

// The endpoint for a URL (http://HOST[:PORT][/PATH]) or, when url is empty,
// for the socket. The service path is appended to PATH unless PATH holds it.
bool MakeEndpoint(const std::string& url, const std::string& socketPath, Endpoint& endpoint, std::string& error);

// One HTTP answer.
struct HttpReply {
  unsigned status = 0;  // HTTP status
  std::string body;     // the answer's body
};

// Posts the document and reads the answer; false and a reason when no
// answer came (connection, timeout, HTTP syntax).
bool Post(const Endpoint& endpoint, const std::string& document, HttpReply& reply, std::string& error);
// Gets a file of the daemon's document root (path "/dictionary.json") under
// the endpoint's base path; false and a reason as for Post.
bool Get(const Endpoint& endpoint, const std::string& path, HttpReply& reply, std::string& error);

}  // namespace KxrCli
