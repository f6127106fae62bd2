// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The users and their roles, as the device's users file (htpasswd lines
// "name:hash") and roles file (lines "name role;") hold them. The files are
// looked at again at most once a second: kxr-user's changes count within a
// second, without a restart or a signal.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Roles.h"

namespace KxrAccess {

struct UserEntry {
  std::string hash;
  std::optional<Role> role;  // none: the user cannot sign in
};

// The users as read from the two files' text.
std::map<std::string, UserEntry, std::less<>> ParseUsers(std::string_view users, std::string_view roles);

class UserDirectory {
 public:
  UserDirectory(std::string usersFile, std::string rolesFile);

  // Reads the files again when either has changed since the last look, at
  // most once a second; returns the names whose hash or role changed or who
  // are gone, so that their sessions end.
  std::vector<std::string> Refresh(std::chrono::steady_clock::time_point now);
  // The user of that name, or null.
  const UserEntry* Find(std::string_view name) const;
  // A hash of the file, so that a name that is not there costs the same check.
  const std::string& AnyHash() const { return mAnyHash; }
  // Whether there are no users at all (no file, or an empty one).
  bool Empty() const { return mUsers.empty(); }

 private:
  // What tells a changed file: its identity, size and modification time.
  struct Stamp {
    bool present = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    long long sec = 0;
    long nsec = 0;
    bool operator==(const Stamp& o) const {
      return present == o.present && dev == o.dev && ino == o.ino && size == o.size && sec == o.sec && nsec == o.nsec;
    }
  };
  static Stamp StampOf(const std::string& path);
  void Load(std::vector<std::string>& changed);

  std::string mUsersFile;
  std::string mRolesFile;
  Stamp mUsersStamp;
  Stamp mRolesStamp;
  bool mLooked = false;
  std::chrono::steady_clock::time_point mLastLook{};
  std::map<std::string, UserEntry, std::less<>> mUsers;
  std::string mAnyHash;
};

}  // namespace KxrAccess
