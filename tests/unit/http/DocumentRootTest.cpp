// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The resolved-path check of the document root (the routing is checked on the wire by the daemon tests).
#include "DocumentRoot.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

using namespace KXRWebservice;
namespace fs = std::filesystem;

namespace {

TEST(DocumentRoot, ResolvedPathCheck) {
  for (const auto& [path, below] : {std::pair{"/www/n-1.0/a/b.htm", "a/b.htm"}, {"/www/n-1.0.bak/a.htm", ""}, {"/www/n-1.0", ""}})
    EXPECT_EQ(below_root("/www/n-1.0", path), below) << path;
  EXPECT_EQ(below_root("/", "/etc/passwd"), "etc/passwd");

  // The resolved name opened again: a directory swapped for a link since its resolution is not followed.
  char dir[] = "/tmp/kxr-routing-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const fs::path top(dir);
  fs::create_directories(top / "root/a"), fs::create_directories(top / "outside");
  std::ofstream(top / "root/a/b.txt") << "in", std::ofstream(top / "outside/b.txt") << "out";
  fs::create_directory_symlink("../outside", top / "root/swapped"), fs::create_symlink("b.txt", top / "root/a/link.txt");
  const int root = ::open((top / "root").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (const auto& [relative, opens] : {std::pair{"a/b.txt", true}, {"swapped/b.txt", false}, {"a/link.txt", false}}) {
    const int fd = open_unlinked(root, relative);
    EXPECT_EQ(fd >= 0, opens) << relative;
    if (fd >= 0) ::close(fd);
  }
  ::close(root), fs::remove_all(top);
}

}  // namespace
