// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The web-service endpoint's answer to a request body: the fixed page for an
// empty body, else the answer document of one ReadWrite call. Kept apart from
// sockets; the worker sends what it returns.
#pragma once

#include <pthread.h>

#include <chrono>
#include <string>

namespace KXRWebservice {

// What the endpoint answers, always with status 200.
struct EndpointAnswer {
  bool isPage;       // the page (text/html), else a SOAP document (text/xml)
  std::string body;  // the page or the document
};

// No deadline: the call's sub-requests are all sent.
inline constexpr auto kNoDeadline = (std::chrono::steady_clock::time_point::max)();

// The page for an empty body, whatever the method; any other body is a call
// (AnswerReadWrite).
EndpointAnswer AnswerEndpoint(const std::string& body, pthread_mutex_t& lock,
                              std::chrono::steady_clock::time_point deadline = kNoDeadline);

// Executes the call in body while holding lock around the device access, and
// returns the ReadWriteResponse document or the Fault document. Sub-requests
// not begun by the deadline (the connection's) are not sent and carry the
// timed-out code. In verbose mode a fault of the execution is logged whole.
std::string AnswerReadWrite(const std::string& body, pthread_mutex_t& lock,
                            std::chrono::steady_clock::time_point deadline = kNoDeadline);

}  // namespace KXRWebservice
