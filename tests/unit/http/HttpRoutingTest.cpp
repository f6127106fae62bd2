// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The resolved-path check's open (the routing itself is checked on the wire by the daemon tests).
#include "HttpRouting.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

using namespace KXRWebservice;

namespace {

TEST(HttpRouting, TellsThePartBelowTheRoot) {
  const struct { const char *root, *path, *below; } cases[] = {
      {"/www/norvik-1.0", "/www/norvik-1.0/a/b.htm", "a/b.htm"}, {"/", "/etc/passwd", "etc/passwd"},
      {"/www/norvik-1.0", "/www/norvik-1.0.bak/a.htm", ""},       {"/www/norvik-1.0", "/www/norvik-1.0", ""},
      {"/www/norvik-1.0", "/www/norvik-1.0/", ""},                {"/www/norvik-1.0", "/www/norvik-2.0/a", ""}};
  for (const auto& c : cases) EXPECT_EQ(below_root(c.root, c.path), c.below) << c.path;
}

TEST(HttpRouting, OpensTheResolvedNameWithoutFollowingAnyLink) {
  char dir[] = "/tmp/kxr-routing-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::filesystem::path top(dir);
  std::filesystem::create_directories(top / "root/a");
  std::filesystem::create_directories(top / "outside");
  std::ofstream(top / "root/a/b.txt") << "inside";
  std::ofstream(top / "outside/b.txt") << "outside";
  // A directory swapped for a link after the name was resolved.
  std::filesystem::create_directory_symlink("../outside", top / "root/swapped");
  std::filesystem::create_symlink("b.txt", top / "root/a/link.txt");
  const int root = ::open((top / "root").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(root, 0);
  const struct { const char* relative; const char* content; } cases[] = {
      {"a/b.txt", "inside"}, {"swapped/b.txt", nullptr}, {"a/link.txt", nullptr}, {"a/missing", nullptr}};
  for (const auto& c : cases) {
    const int fd = open_unlinked(root, c.relative);
    char got[16] = {};
    EXPECT_EQ(fd >= 0 ? std::string(got, static_cast<std::size_t>(::read(fd, got, sizeof got))) : "-", c.content ? c.content : "-")
        << c.relative;
    if (fd >= 0) ::close(fd);
  }
  ::close(root);
  std::filesystem::remove_all(top);
}

}  // namespace
