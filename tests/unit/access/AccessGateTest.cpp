// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Who calls, from the peer and the proofs a request offers; the session document.
#include "AccessGate.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

using namespace KxrAccess;
using std::chrono::seconds;

namespace {

const auto t0 = Clock::time_point{} + seconds(1);

class Gate : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(::mkdtemp(mDir), nullptr);
    // "pw one" for both
    std::ofstream(std::string(mDir) + "/users") << "ann:$2y$04$zkcAUFdSxHa51yTF.24TGOy4MCSzDuhIkFvkg8AeKxebhy2aP.1QS\n"
                                                << "bob:$2y$04$zkcAUFdSxHa51yTF.24TGOy4MCSzDuhIkFvkg8AeKxebhy2aP.1QS\n";
    std::ofstream(std::string(mDir) + "/roles") << "ann operator;\nbob viewer;\n";
    mGate.emplace(UserDirectory(std::string(mDir) + "/users", std::string(mDir) + "/roles"),
                  SessionTable(8, 2, seconds(60), seconds(600)), t0);
  }
  void TearDown() override { std::filesystem::remove_all(mDir); }

  RequestFacts Facts(uid_t uid, std::string_view cookie = {}, std::string_view authorization = {}, int client = 0) {
    RequestFacts facts;
    facts.peer = Peer{true, uid};
    if (!cookie.empty()) facts.cookies.push_back(cookie);
    if (!authorization.empty()) facts.authorizations.push_back(authorization);
    facts.client = FieldValue{client, "192.0.2.7"};
    return facts;
  }

  char mDir[32] = "/tmp/kxr-gate-XXXXXX";
  std::optional<AccessGate> mGate;
};

TEST_F(Gate, CallersByPeerSessionAndBasic) {
  Caller signedIn;
  const auto token = mGate->SignIn(Facts(33), "user=ann&password=pw+one", t0, signedIn);
  ASSERT_TRUE(token);
  EXPECT_EQ(AccessGate::SessionDocument(signedIn), R"({"user":"ann","role":"operator","secondsLeft":60})");
  const std::string cookie = "__Host-kxr-session=" + *token, ended = "__Host-kxr-session=" + std::string(64, '0');
  struct Row {
    RequestFacts facts;
    std::optional<std::string> who;  // none: refused
    bool ended;
  };
  for (const Row& row : {
           Row{Facts(0), "user=- role=operator by=uid uid=0 client=-", false},
           Row{Facts(0, {}, {}, 1), std::nullopt, false},  // through the front server, root or not
           Row{Facts(33), std::nullopt, false},
           Row{Facts(33, cookie, {}, 1), "user=ann role=operator by=session uid=33 client=192.0.2.7", false},
           Row{Facts(33, ended), std::nullopt, true},
           Row{Facts(33, {}, "Basic Ym9iOnB3IG9uZQ=="), "user=bob role=viewer by=basic uid=33 client=-", false},
           Row{Facts(33, {}, "Basic Ym9iOnB3IG9uZg=="), std::nullopt, false},  // bob:pw onf
           Row{Facts(1000, {}, "Basic Y2lkOnB3IG9uZQ=="), std::nullopt, false},  // cid: no such user
       }) {
    const Verdict verdict = mGate->Identify(row.facts, t0 + seconds(1));
    EXPECT_EQ(verdict.caller ? std::optional<std::string>(verdict.caller->Who()) : std::nullopt, row.who);
    EXPECT_EQ(verdict.endedSession, row.ended);
  }
  mGate->SignOut(Facts(33, cookie), t0 + seconds(2));
  EXPECT_FALSE(mGate->Identify(Facts(33, cookie), t0 + seconds(2)).caller);
}

TEST_F(Gate, RefusedSignIns) {
  Caller caller;
  for (const char* form : {"user=ann&password=pw+on", "user=cid&password=pw+one", "user=ann", "password=pw+one",
                           "user=&password=", "user=ann&password=pw%2"})
    EXPECT_FALSE(mGate->SignIn(Facts(33), form, t0, caller)) << form;
}

}  // namespace
