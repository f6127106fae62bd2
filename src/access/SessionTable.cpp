// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
#include "SessionTable.h"

#include <unistd.h>

#include <algorithm>

namespace KxrAccess {

namespace {

constexpr char kHex[] = "0123456789abcdef";

// Whether two tokens are equal, looking at every byte: a lookup's time does
// not tell how much of a guessed token was right.
bool SameToken(const Token& a, const Token& b) {
  unsigned diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned>(a[i] ^ b[i]);
  return diff == 0;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

const char* EndReasonName(EndReason reason) {
  // In EndReason's order.
  static constexpr const char* kNames[] = {"idle", "limit", "user-changed", "evicted"};
  return kNames[static_cast<int>(reason)];
}

SessionTable::SessionTable(std::size_t total, std::size_t perUser, Clock::duration idle, Clock::duration limit)
    : mTotal(total), mPerUser(perUser), mIdle(idle), mLimit(limit) {
  mSessions.reserve(total);
}

void SessionTable::Begin(const Token& token, std::string user, Role role, Clock::time_point now,
                         std::vector<EndedSession>& ended) {
  Sweep(now, ended);
  const auto users = [&] {
    return static_cast<std::size_t>(
        std::count_if(mSessions.begin(), mSessions.end(), [&](const Session& s) { return s.user == user; }));
  };
  while (!mSessions.empty() && users() >= mPerUser)
    EndAt(static_cast<std::size_t>(std::find_if(mSessions.begin(), mSessions.end(),
                                                [&](const Session& s) { return s.user == user; }) -
                                   mSessions.begin()),
          EndReason::Evicted, ended);
  while (!mSessions.empty() && mSessions.size() >= mTotal) EndAt(0, EndReason::Evicted, ended);
  mSessions.push_back(Session{token, std::move(user), role, now, now});
}

const Session* SessionTable::Use(const Token& token, Clock::time_point now) {
  // Every entry is compared, found or not.
  Session* found = nullptr;
  for (Session& s : mSessions)
    if (SameToken(s.token, token)) found = &s;
  if (found == nullptr || RunOut(*found, now)) return nullptr;
  found->seen = now;
  return found;
}

bool SessionTable::End(const Token& token, EndedSession& ended) {
  for (std::size_t i = 0; i < mSessions.size(); ++i)
    if (SameToken(mSessions[i].token, token)) {
      ended = EndedSession{mSessions[i].user, mSessions[i].role, EndReason::Evicted};
      mSessions.erase(mSessions.begin() + static_cast<std::ptrdiff_t>(i));
      return true;
    }
  return false;
}

void SessionTable::EndUser(std::string_view user, std::vector<EndedSession>& ended) {
  for (std::size_t i = mSessions.size(); i-- > 0;)
    if (mSessions[i].user == user) EndAt(i, EndReason::UserChanged, ended);
}

void SessionTable::Sweep(Clock::time_point now, std::vector<EndedSession>& ended) {
  for (std::size_t i = mSessions.size(); i-- > 0;)
    if (const auto reason = RunOut(mSessions[i], now)) EndAt(i, *reason, ended);
}

Clock::duration SessionTable::Left(const Session& session, Clock::time_point now) const {
  return (std::min)(session.seen + mIdle, session.begun + mLimit) - now;
}

std::optional<EndReason> SessionTable::RunOut(const Session& session, Clock::time_point now) const {
  if (now >= session.begun + mLimit) return EndReason::Limit;
  if (now >= session.seen + mIdle) return EndReason::Idle;
  return std::nullopt;
}

void SessionTable::EndAt(std::size_t i, EndReason reason, std::vector<EndedSession>& ended) {
  ended.push_back(EndedSession{mSessions[i].user, mSessions[i].role, reason});
  mSessions.erase(mSessions.begin() + static_cast<std::ptrdiff_t>(i));
}

bool NewToken(Token& token) { return ::getentropy(token.data(), token.size()) == 0; }

std::string TokenText(const Token& token) {
  std::string text;
  for (const unsigned char byte : token) {
    text += kHex[byte >> 4];
    text += kHex[byte & 15];
  }
  return text;
}

std::optional<Token> TokenOf(std::string_view text) {
  Token token{};
  if (text.size() != token.size() * 2) return std::nullopt;
  for (std::size_t i = 0; i < token.size(); ++i) {
    const int high = HexValue(text[2 * i]);
    const int low = HexValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    token[i] = static_cast<unsigned char>(high * 16 + low);
  }
  return token;
}

}  // namespace KxrAccess
