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

namespace KXRWebservice {

// What the endpoint answers, always with status 200.
struct EndpointAnswer {
  bool isPage;       // the page (text/html), else a SOAP document (text/xml)
  std::string body;  // the page or the document
};

// No deadline: the call's sub-requests are all sent.
inline constexpr auto kNoDeadline = (std::chrono::steady_clock::time_point::max)();

// Header fields that the front server sets on every request it passes on,
// dropping a client's own of these names.
inline constexpr char kUserField[] = "X-Kxr-User";      // the signed-in user
inline constexpr char kRoleField[] = "X-Kxr-Role";      // "viewer" or "operator" ("none": no role)
inline constexpr char kClientField[] = "X-Kxr-Client";  // the client's address as the front server saw it

// What a caller may call.
enum class Access {
  Full,      // every call: an operator, or a client on the socket itself
  ReadOnly,  // sum-up reads only: a viewer
  None,      // nothing: any other combination of the fields
};

// One header field of a request: how often it occurs, and its first value.
struct FieldValue {
  int count = 0;
  std::string_view value;
};

// Who makes a call. The names are as the audit line shows them: escaped, and
// a mark where the field is missing.
struct Caller {
  Access access = Access::Full;
  std::string user = "(socket)";
  std::string role = "(socket)";
  std::string client = "-";
};

// The caller of a request with these fields. Without a user and a role field
// the caller is on the socket itself (full access); else a user field and a
// role field, each exactly once, and the role exactly "operator" or "viewer";
// anything else may call nothing.
Caller DecideCaller(FieldValue user, FieldValue role, FieldValue client);

// The caller of a request (Beast's fields compare names case-insensitively).
template <class Fields>
Caller CallerOf(const Fields& fields) {
  const auto field = [&fields](const char* name) {
    FieldValue found;
    for (auto [at, end] = fields.equal_range(name); at != end; ++at)
      if (found.count++ == 0) found.value = std::string_view(at->value().data(), at->value().size());
    return found;
  };
  return DecideCaller(field(kUserField), field(kRoleField), field(kClientField));
}

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
