// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The sessions of signed-in users: a bounded table in memory, looked up by
// the token of the session cookie. After the sign-in, a request costs a
// lookup here, not a password hash. A restart of the daemon ends them all.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Roles.h"

namespace KxrAccess {

using Clock = std::chrono::steady_clock;
// 256 random bits.
using Token = std::array<unsigned char, 32>;

// Why a session ended other than by its user's sign-out.
enum class EndReason { Idle, Limit, UserChanged, Evicted };
const char* EndReasonName(EndReason reason);

struct Session {
  Token token;
  std::string user;
  Role role;
  Clock::time_point begun;
  Clock::time_point seen;  // its last request
};

struct EndedSession {
  std::string user;
  Role role;
  EndReason reason;
};

class SessionTable {
 public:
  // At most total sessions, at most perUser of one user; each ends idle
  // after its last request and limit after its sign-in.
  SessionTable(std::size_t total, std::size_t perUser, Clock::duration idle, Clock::duration limit);

  // Begins a session under token (from NewToken). Where the table or the
  // user's share of it is full, the oldest session of the table or the user
  // ends first, into ended.
  void Begin(const Token& token, std::string user, Role role, Clock::time_point now,
             std::vector<EndedSession>& ended);
  // The live session of token, its idle time begun again; null when there is none.
  const Session* Use(const Token& token, Clock::time_point now);
  // Ends the session of token (a sign-out); false when there was none.
  bool End(const Token& token, EndedSession& ended);
  // Ends every session of user (its password or role changed, or it is gone).
  void EndUser(std::string_view user, std::vector<EndedSession>& ended);
  // Ends the sessions that have run out by now.
  void Sweep(Clock::time_point now, std::vector<EndedSession>& ended);
  // The time the session has left, its idle end or its limit, whichever comes first.
  Clock::duration Left(const Session& session, Clock::time_point now) const;
  std::size_t Size() const { return mSessions.size(); }

 private:
  // The reason session has ended by now, or none.
  std::optional<EndReason> RunOut(const Session& session, Clock::time_point now) const;
  void EndAt(std::size_t i, EndReason reason, std::vector<EndedSession>& ended);

  std::size_t mTotal;
  std::size_t mPerUser;
  Clock::duration mIdle;
  Clock::duration mLimit;
  std::vector<Session> mSessions;  // in the order they began
};

// 256 bits from the system's random source; false when it has none to give.
bool NewToken(Token& token);
// The token as the cookie carries it: 64 lowercase hex digits.
std::string TokenText(const Token& token);
// The token of a cookie value, if it is exactly that.
std::optional<Token> TokenOf(std::string_view text);

}  // namespace KxrAccess
