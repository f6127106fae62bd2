// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The web-service endpoint's answer to a request body: the fixed page for an
// empty body, else the answer document of one ReadWrite call, run or refused
// for the caller's role. Kept apart from sockets; the worker sends what it
// returns.
#pragma once

#include <pthread.h>

#include <chrono>
#include <string>
#include <string_view>

#include "AccessGate.h"

namespace KXRWebservice {

// What the endpoint answers, always with status 200.
struct EndpointAnswer {
  bool isPage;       // the page (text/html), else a SOAP document (text/xml)
  std::string body;  // the page or the document
};

// No deadline: the call's sub-requests are all sent.
inline constexpr auto kNoDeadline = (std::chrono::steady_clock::time_point::max)();

// Who makes a call, as the access gate decided it.
using Caller = KxrAccess::Caller;

// The page for an empty body, whatever the method and caller; any other body
// is a call (AnswerReadWrite).
EndpointAnswer AnswerEndpoint(const std::string& body, const Caller& caller, pthread_mutex_t& lock,
                              std::chrono::steady_clock::time_point deadline = kNoDeadline);

// Executes the call in body while holding lock around the device access, and
// returns the ReadWriteResponse document or the Fault document. A call the
// caller may not make is answered "Access denied" without touching the
// device. Sub-requests not begun by the deadline (the connection's) are not
// sent and carry the timed-out code. Each write, and each refusal, leaves an
// audit line in syslog; in verbose mode a fault of the execution is logged
// whole.
std::string AnswerReadWrite(const std::string& body, pthread_mutex_t& lock,
                            std::chrono::steady_clock::time_point deadline = kNoDeadline,
                            const Caller& caller = Caller());

}  // namespace KXRWebservice
