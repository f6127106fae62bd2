// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Who is calling, decided from what the daemon verified itself: the socket's
// peer, a session of its own, or a password it checked. Sign-in, sign-out,
// the session document, and the audit lines of each.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AuditText.h"
#include "Credentials.h"
#include "PeerCredentials.h"
#include "Roles.h"
#include "SessionTable.h"
#include "UserDirectory.h"

namespace KxrAccess {

// How the daemon knows the caller.
enum class KnownBy { Uid, Session, Basic };

// Who makes a request, and what the audit lines show of it.
struct Caller {
  Role role = Role::Operator;
  KnownBy by = KnownBy::Uid;
  std::string name;          // the user's name; empty for a caller known by its uid
  uid_t uid = 0;             // the socket's peer
  std::string client = "-";  // the client address the front server reported, as shown
  std::optional<Clock::duration> left;  // a session's time left

  // "user=... role=... by=... uid=... client=..." for the audit lines.
  std::string Who() const;
};

// What a request offers, taken from its fields by the HTTP layer.
struct RequestFacts {
  Peer peer;
  std::vector<std::string_view> cookies;         // each Cookie field
  std::vector<std::string_view> authorizations;  // each Authorization field
  FieldValue client;                             // the front server's client-address field
};

// The client-address field that the front server sets on every request it
// passes on. A request with it comes through the front server and signs in,
// whatever the peer's uid.
inline constexpr char kClientField[] = "X-Kxr-Client";

struct Verdict {
  std::optional<Caller> caller;  // none: the request has no caller the daemon accepts
  bool endedSession = false;     // it offered a session cookie whose session is no more
};

class AccessGate {
 public:
  // Reads the users at once, so that a daemon without users says so at start.
  AccessGate(UserDirectory users, SessionTable sessions, Clock::time_point now);

  // The caller of a request: root on the socket itself, else a live session,
  // else a Basic pair checked now. A refused Basic pair leaves an audit line.
  Verdict Identify(const RequestFacts& facts, Clock::time_point now);
  // Checks the sign-in form's user and password; on success begins a session
  // and returns its cookie value, with caller set. Either way an audit line.
  std::optional<std::string> SignIn(const RequestFacts& facts, std::string_view form, Clock::time_point now,
                                    Caller& caller);
  // Ends the sessions whose cookies the request carries.
  void SignOut(const RequestFacts& facts, Clock::time_point now);
  // The session document: user, role and time left.
  static std::string SessionDocument(const Caller& caller);

 private:
  // Reads changed users files, ends the sessions of changed users and those run out.
  void Keep(Clock::time_point now);
  // The role of user when password is theirs; a name that is not there costs the same.
  std::optional<Role> Check(const NamePassword& pair);
  Caller Base(const RequestFacts& facts) const;

  UserDirectory mUsers;
  SessionTable mSessions;
  Clock::time_point mSwept{};  // the last sweep of the sessions that have run out
};

}  // namespace KxrAccess
