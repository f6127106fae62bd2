// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
#include "UserDirectory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace KxrAccess {

namespace {

// How often the files are looked at, at most.
constexpr std::chrono::seconds kLookEvery{1};
// The most of a file that is read: far more than any device's users need.
constexpr std::size_t kMostBytes = 1 << 20;

// The lines of text, without their line ends; blank lines and '#' comments left out.
std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::size_t first = line.find_first_not_of(" \t");
    if (first != std::string_view::npos && line[first] != '#') lines.push_back(line);
  }
  return lines;
}

// The words of a roles line ("name role;"), the ';' and blanks apart.
std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t at = 0;
  while ((at = line.find_first_not_of(" \t;", at)) != std::string_view::npos) {
    const std::size_t end = line.find_first_of(" \t;", at);
    words.push_back(line.substr(at, end - at));
    at = end == std::string_view::npos ? line.size() : end;
  }
  return words;
}

// The whole file, or nothing when it is missing, unreadable or too large
// (then no one of it can sign in: closed, not open).
std::string ReadAll(const std::string& path, bool& present) {
  std::string text;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  present = fd >= 0;
  if (fd < 0) {
    if (errno != ENOENT) syslog(LOG_ERR, "Cannot read %s: %s", path.c_str(), std::strerror(errno));
    return text;
  }
  char chunk[4096];
  ssize_t n;
  while ((n = ::read(fd, chunk, sizeof chunk)) > 0 && text.size() <= kMostBytes)
    text.append(chunk, static_cast<std::size_t>(n));
  if (n < 0 || text.size() > kMostBytes) {
    syslog(LOG_ERR, "Cannot read %s whole: no user of it can sign in", path.c_str());
    text.clear();
  }
  ::close(fd);
  return text;
}

}  // namespace

std::map<std::string, UserEntry, std::less<>> ParseUsers(std::string_view users, std::string_view roles) {
  std::map<std::string, UserEntry, std::less<>> parsed;
  for (const std::string_view line : Lines(users)) {
    const std::size_t colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos) continue;
    // htpasswd writes "name:hash"; anything after a further ':' is no part of a hash.
    std::string_view hash = line.substr(colon + 1);
    hash = hash.substr(0, hash.find(':'));
    parsed.emplace(std::string(line.substr(0, colon)), UserEntry{std::string(hash), std::nullopt});
  }
  for (const std::string_view line : Lines(roles)) {
    const std::vector<std::string_view> words = Words(line);
    if (words.size() != 2) continue;
    const auto user = parsed.find(words[0]);
    if (user != parsed.end()) user->second.role = RoleNamed(words[1]);
  }
  return parsed;
}

UserDirectory::UserDirectory(std::string usersFile, std::string rolesFile)
    : mUsersFile(std::move(usersFile)), mRolesFile(std::move(rolesFile)) {}

UserDirectory::Stamp UserDirectory::StampOf(const std::string& path) {
  Stamp stamp;
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return stamp;
  stamp.present = true;
  stamp.dev = info.st_dev;
  stamp.ino = info.st_ino;
  stamp.size = info.st_size;
  stamp.sec = static_cast<long long>(info.st_mtim.tv_sec);
  stamp.nsec = static_cast<long>(info.st_mtim.tv_nsec);
  return stamp;
}

std::vector<std::string> UserDirectory::Refresh(std::chrono::steady_clock::time_point now) {
  std::vector<std::string> changed;
  if (mLooked && now - mLastLook < kLookEvery) return changed;
  mLastLook = now;
  const Stamp users = StampOf(mUsersFile);
  const Stamp roles = StampOf(mRolesFile);
  if (mLooked && users == mUsersStamp && roles == mRolesStamp) return changed;
  const bool first = !mLooked;
  mLooked = true;
  mUsersStamp = users;
  mRolesStamp = roles;
  Load(changed);
  if (mUsers.empty() && (first || !changed.empty()))
    syslog(LOG_NOTICE, "No users in %s: only callers of uid 0 are served.", mUsersFile.c_str());
  return changed;
}

void UserDirectory::Load(std::vector<std::string>& changed) {
  bool present = false;
  const std::string users = ReadAll(mUsersFile, present);
  const std::string roles = present ? ReadAll(mRolesFile, present) : std::string();
  auto fresh = ParseUsers(users, roles);
  for (const auto& [name, entry] : mUsers) {
    const auto now = fresh.find(name);
    if (now == fresh.end() || now->second.hash != entry.hash || now->second.role != entry.role)
      changed.push_back(name);
  }
  mUsers = std::move(fresh);
  mAnyHash.clear();
  for (const auto& [name, entry] : mUsers)
    if (entry.role) {
      mAnyHash = entry.hash;
      break;
    }
}

const UserEntry* UserDirectory::Find(std::string_view name) const {
  const auto found = mUsers.find(name);
  return found == mUsers.end() ? nullptr : &found->second;
}

}  // namespace KxrAccess
