// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The users and roles files: what a line means, and a change seen within a second, not sooner.
#include "UserDirectory.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "PasswordCheck.h"

using namespace KxrAccess;
using std::chrono::milliseconds;

namespace {

// "pw one", by htpasswd -B and by yescrypt.
const std::string kBcrypt = "$2y$04$zkcAUFdSxHa51yTF.24TGOy4MCSzDuhIkFvkg8AeKxebhy2aP.1QS";
const std::string kYescrypt = "$y$j9T$F5Jx5fExrKuPp53xLKQ..1$yit8neiDP2SpCKf92bPy4IXV3Efp0OfD4ha/A7.Po37";

TEST(UserDirectory, LinesAndRoles) {
  const auto users = ParseUsers("# comment\n\nann:" + kBcrypt + "\r\nbob:" + kYescrypt + ":extra\n:nohash\ncid\nnora:x\n",
                                "ann operator;\n  bob viewer\ncid operator;\nnora admin;\n# ann viewer;\n");
  ASSERT_EQ(users.size(), 3u);
  EXPECT_EQ(users.at("ann").hash, kBcrypt);
  EXPECT_EQ(users.at("ann").role, Role::Operator);
  EXPECT_EQ(users.at("bob").hash, kYescrypt);
  EXPECT_EQ(users.at("bob").role, Role::Viewer);
  EXPECT_FALSE(users.at("nora").role);  // no such role: cannot sign in
}

TEST(UserDirectory, PasswordsByCryptR) {
  for (const auto& hash : {kBcrypt, kYescrypt}) {
    EXPECT_TRUE(PasswordMatches("pw one", hash)) << hash;
    for (const char* wrong : {"pw on", "pw one ", "PW ONE", ""}) EXPECT_FALSE(PasswordMatches(wrong, hash)) << wrong;
  }
  EXPECT_FALSE(PasswordMatches(std::string("pw one\0x", 8), kBcrypt));
  for (const char* hash : {"", "*", "$apr1$abc$def", "plain"}) EXPECT_FALSE(PasswordMatches("plain", hash)) << hash;
}

TEST(UserDirectory, ChangesSeenWithinASecond) {
  char dir[] = "/tmp/kxr-users-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string users = std::string(dir) + "/users", roles = std::string(dir) + "/roles";
  const auto write = [](const std::string& path, const std::string& text) { std::ofstream(path) << text; };
  UserDirectory directory(users, roles);
  const auto t0 = std::chrono::steady_clock::time_point{};
  EXPECT_TRUE(directory.Refresh(t0).empty());
  EXPECT_TRUE(directory.Empty());  // no files: nobody signs in
  write(users, "ann:" + kBcrypt + "\nbob:" + kBcrypt + "\ncid:" + kBcrypt + "\n");
  write(roles, "ann operator;\nbob viewer;\ncid viewer;\n");
  EXPECT_TRUE(directory.Refresh(t0 + milliseconds(999)).empty());
  EXPECT_TRUE(directory.Empty());  // not looked at yet
  EXPECT_TRUE(directory.Refresh(t0 + milliseconds(1000)).empty());
  ASSERT_NE(directory.Find("ann"), nullptr);
  EXPECT_EQ(directory.AnyHash(), kBcrypt);
  // Ann's password, Bob's role and Cid's presence change: each of them ends their sessions.
  write(users, "ann:" + kYescrypt + "\nbob:" + kBcrypt + "\n");
  write(roles, "ann operator;\nbob operator;\n");
  EXPECT_EQ(directory.Refresh(t0 + milliseconds(2000)), (std::vector<std::string>{"ann", "bob", "cid"}));
  EXPECT_TRUE(directory.Refresh(t0 + milliseconds(3000)).empty());  // nothing changed since
  std::filesystem::remove_all(dir);
}

}  // namespace
