// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Sessions against an injected clock: their idle and absolute ends, the bounds, sign-out and a changed user.
#include "SessionTable.h"

#include <gtest/gtest.h>

using namespace KxrAccess;
using std::chrono::seconds;

namespace {

const Clock::time_point t0{};

Token TokenNo(unsigned char n) { return Token{n}; }

std::vector<std::string> Reasons(const std::vector<EndedSession>& ended) {
  std::vector<std::string> out;
  for (const auto& e : ended) out.push_back(e.user + ":" + EndReasonName(e.reason));
  return out;
}

TEST(SessionTable, IdleAndAbsoluteEnds) {
  SessionTable table(4, 2, seconds(900), seconds(3600));
  std::vector<EndedSession> ended;
  table.Begin(TokenNo(1), "ann", Role::Operator, t0, ended);
  table.Begin(TokenNo(2), "bob", Role::Viewer, t0, ended);
  // Ann's requests keep her session until its limit; Bob's runs out idle.
  for (int s = 600; s < 3600; s += 600) ASSERT_NE(table.Use(TokenNo(1), t0 + seconds(s)), nullptr) << s;
  EXPECT_EQ(table.Left(*table.Use(TokenNo(1), t0 + seconds(3300)), t0 + seconds(3300)), seconds(300));
  EXPECT_EQ(table.Use(TokenNo(2), t0 + seconds(900)), nullptr);
  table.Sweep(t0 + seconds(900), ended);
  EXPECT_EQ(table.Use(TokenNo(1), t0 + seconds(3600)), nullptr);
  EXPECT_EQ(table.Use(TokenNo(9), t0), nullptr);
  table.Sweep(t0 + seconds(3600), ended);
  EXPECT_EQ(Reasons(ended), (std::vector<std::string>{"bob:idle", "ann:limit"}));
  EXPECT_EQ(table.Size(), 0u);
}

TEST(SessionTable, BoundsEndTheOldestFirst) {
  SessionTable table(3, 2, seconds(900), seconds(3600));
  std::vector<EndedSession> ended;
  for (unsigned char n = 1; n <= 3; ++n) table.Begin(TokenNo(n), "ann", Role::Operator, t0 + seconds(n), ended);
  EXPECT_EQ(Reasons(ended), std::vector<std::string>{"ann:evicted"});
  EXPECT_EQ(table.Use(TokenNo(1), t0 + seconds(5)), nullptr);  // the user's oldest went
  table.Begin(TokenNo(4), "bob", Role::Viewer, t0 + seconds(6), ended);
  table.Begin(TokenNo(5), "cid", Role::Viewer, t0 + seconds(7), ended);  // the table's oldest goes
  EXPECT_EQ(Reasons(ended), (std::vector<std::string>{"ann:evicted", "ann:evicted"}));
  EXPECT_EQ(table.Use(TokenNo(2), t0 + seconds(8)), nullptr);
  EXPECT_NE(table.Use(TokenNo(3), t0 + seconds(8)), nullptr);
}

TEST(SessionTable, SignOutAndChangedUser) {
  SessionTable table(8, 8, seconds(900), seconds(3600));
  std::vector<EndedSession> ended;
  for (unsigned char n = 1; n <= 3; ++n) table.Begin(TokenNo(n), n == 3 ? "bob" : "ann", Role::Operator, t0, ended);
  EndedSession out;
  EXPECT_TRUE(table.End(TokenNo(1), out));
  EXPECT_FALSE(table.End(TokenNo(1), out));
  table.EndUser("ann", ended);
  EXPECT_EQ(Reasons(ended), std::vector<std::string>{"ann:user-changed"});
  EXPECT_EQ(table.Size(), 1u);
}

TEST(SessionTable, TokensAreRandomAndReadBackExactly) {
  Token a{}, b{};
  ASSERT_TRUE(NewToken(a) && NewToken(b));
  EXPECT_NE(a, b);
  EXPECT_EQ(TokenOf(TokenText(a)), a);
  for (const std::string& bad : {TokenText(a).substr(1), TokenText(a) + "0", std::string(64, 'A'), std::string(64, 'g')})
    EXPECT_FALSE(TokenOf(bad)) << bad;
}

}  // namespace
