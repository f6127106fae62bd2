// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
#include "AccessGate.h"

#include <syslog.h>

#include <cstdio>

#include "Credentials.h"
#include "PasswordCheck.h"

namespace KxrAccess {

namespace {

// Longest user name and password taken from a client; longer ones are refused unchecked.
constexpr std::size_t kMostName = 256;
constexpr std::size_t kMostPassword = 1024;

// The audit's word for each way of knowing a caller, in KnownBy's order.
const char* ByName(KnownBy by) {
  static constexpr const char* kNames[] = {"uid", "session", "basic"};
  return kNames[static_cast<int>(by)];
}

// The peer and the client as every line of a request shows them.
std::string Where(const Caller& caller) {
  return "uid=" + std::to_string(caller.uid) + " client=" + caller.client;
}

void LogEnded(const std::vector<EndedSession>& ended) {
  for (const EndedSession& e : ended)
    syslog(LOG_NOTICE, "audit: session ended user=%s role=%s reason=%s", Shown(e.user).c_str(), RoleName(e.role),
           EndReasonName(e.reason));
}

// A name for the JSON document: '"', '\' and control bytes escaped.
std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace

std::string Caller::Who() const {
  return std::string("user=") + (name.empty() ? std::string("-") : Shown(name)) + " role=" + RoleName(role) +
         " by=" + ByName(by) + " " + Where(*this);
}

AccessGate::AccessGate(UserDirectory users, SessionTable sessions, Clock::time_point now)
    : mUsers(std::move(users)), mSessions(std::move(sessions)) {
  mUsers.Refresh(now);
}

void AccessGate::Keep(Clock::time_point now) {
  std::vector<EndedSession> ended;
  for (const std::string& user : mUsers.Refresh(now)) mSessions.EndUser(user, ended);
  // Once a second at most, like the look at the files: a session that has
  // run out is refused by its lookup all the same, only its line waits.
  if (now - mSwept >= std::chrono::seconds(1)) {
    mSwept = now;
    mSessions.Sweep(now, ended);
  }
  LogEnded(ended);
}

std::optional<Role> AccessGate::Check(const NamePassword& pair) {
  if (pair.user.size() > kMostName || pair.password.size() > kMostPassword) return std::nullopt;
  const UserEntry* user = mUsers.Find(pair.user);
  if (user == nullptr) {
    // As long as a known name takes: no answer's time tells which names exist.
    if (!mUsers.AnyHash().empty()) PasswordMatches(pair.password, mUsers.AnyHash());
    return std::nullopt;
  }
  const bool matches = PasswordMatches(pair.password, user->hash);
  if (!matches || !user->role) return std::nullopt;
  return user->role;
}

Caller AccessGate::Base(const RequestFacts& facts) const {
  Caller caller;
  caller.uid = facts.peer.known ? facts.peer.uid : static_cast<uid_t>(-1);
  caller.client = Shown(facts.client);
  return caller;
}

Verdict AccessGate::Identify(const RequestFacts& facts, Clock::time_point now) {
  Keep(now);
  Verdict verdict;
  Caller caller = Base(facts);
  // Root on the socket itself: the device's administrator and its scripts.
  // Through the front server (its field is there), even a root worker signs in.
  if (facts.peer.IsRoot() && facts.client.count == 0) {
    verdict.caller = caller;
    return verdict;
  }
  for (const std::string_view field : facts.cookies) {
    const auto value = SessionCookieIn(field);
    if (!value) continue;
    verdict.endedSession = true;
    const auto token = TokenOf(*value);
    const Session* session = token ? mSessions.Use(*token, now) : nullptr;
    if (session == nullptr) continue;
    caller.role = session->role;
    caller.by = KnownBy::Session;
    caller.name = session->user;
    caller.left = mSessions.Left(*session, now);
    verdict.caller = caller;
    verdict.endedSession = false;
    return verdict;
  }
  if (facts.authorizations.empty()) return verdict;
  const auto basic = BasicIn(facts.authorizations.front());
  if (!basic) return verdict;
  verdict.endedSession = false;  // a client of Basic, not a browser whose session ended
  const auto role = basic->valid ? Check(basic->pair) : std::nullopt;
  if (!role) {
    syslog(LOG_NOTICE, "audit: basic refused user=%s %s", Shown(basic->pair.user).c_str(), Where(caller).c_str());
    return verdict;
  }
  caller.role = *role;
  caller.by = KnownBy::Basic;
  caller.name = basic->pair.user;
  verdict.caller = caller;
  return verdict;
}

std::optional<std::string> AccessGate::SignIn(const RequestFacts& facts, std::string_view form, Clock::time_point now,
                                             Caller& caller) {
  Keep(now);
  caller = Base(facts);
  const auto user = FormField(form, "user");
  const auto password = FormField(form, "password");
  const auto role = user && password && !user->empty() ? Check(NamePassword{*user, *password}) : std::nullopt;
  Token token{};
  if (role && !NewToken(token)) {
    syslog(LOG_ERR, "No random bits for a session: sign-in refused");
    return std::nullopt;
  }
  if (!role) {
    syslog(LOG_NOTICE, "audit: signin refused user=%s %s", user ? Shown(*user).c_str() : "-", Where(caller).c_str());
    return std::nullopt;
  }
  std::vector<EndedSession> ended;
  mSessions.Begin(token, *user, *role, now, ended);
  LogEnded(ended);
  caller.role = *role;
  caller.by = KnownBy::Session;
  caller.name = *user;
  caller.left = mSessions.Left(*mSessions.Use(token, now), now);
  syslog(LOG_NOTICE, "audit: signin user=%s role=%s %s", Shown(*user).c_str(), RoleName(*role),
         Where(caller).c_str());
  return TokenText(token);
}

void AccessGate::SignOut(const RequestFacts& facts, Clock::time_point now) {
  Keep(now);
  const Caller caller = Base(facts);
  for (const std::string_view field : facts.cookies) {
    const auto value = SessionCookieIn(field);
    const auto token = value ? TokenOf(*value) : std::nullopt;
    EndedSession ended;
    if (token && mSessions.End(*token, ended))
      syslog(LOG_NOTICE, "audit: signout user=%s role=%s %s", Shown(ended.user).c_str(), RoleName(ended.role),
             Where(caller).c_str());
  }
}

std::string AccessGate::SessionDocument(const Caller& caller) {
  std::string left = "null";
  if (caller.left)
    left = std::to_string(std::chrono::duration_cast<std::chrono::seconds>(*caller.left).count());
  return std::string("{\"user\":") + (caller.name.empty() ? std::string("null") : JsonString(caller.name)) +
         ",\"role\":\"" + RoleName(caller.role) + "\",\"secondsLeft\":" + left + "}";
}

}  // namespace KxrAccess
