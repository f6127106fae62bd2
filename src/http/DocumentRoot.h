// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The document root and the opening of its files: the root opened once, each
// file opened beneath it by the call this system has for that, or else by the
// resolved-path check. Apart from the routing (HttpRouting.h), which needs no
// file system, so that the platform branches of a file's open sit together.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <boost/beast/core/error.hpp>

namespace KXRWebservice {

// The part of the resolved path below the resolved root, without the '/'
// between them; empty when path is not below root.
std::string_view below_root(std::string_view root, std::string_view path);

// Opens relative (components separated by single '/', none "." or "..")
// beneath the directory root, one component at a time, failing (-1 and errno,
// ELOOP or ENOTDIR) where a component is a symbolic link: the resolved-path
// check's open, which a link swapped in after the resolution cannot lead
// outside the root.
int open_unlinked(int root, std::string_view relative);

// The document root, opened once at start: every file is opened beneath it,
// so that a root reached through a link costs nothing more per file.
class DocumentRoot {
 public:
  // Opens the root; when it is missing, each open tries again until it is there.
  explicit DocumentRoot(std::string path);
  ~DocumentRoot();
  DocumentRoot(const DocumentRoot&) = delete;
  DocumentRoot& operator=(const DocumentRoot&) = delete;

  // The root as configured, without a trailing '/'.
  const std::string& path() const { return mPath; }

  // Opens fileName (from file_name_for) for reading, failing for anything
  // but a regular file (a directory would open and break the answer after
  // its header) and for a file whose path, with every link resolved, leaves
  // the document root. On success fd is the open descriptor (the caller
  // closes it) and size the file's length.
  void open_regular(const std::string& fileName, int& fd, std::uint64_t& size, boost::beast::error_code& ec) const;

 private:
  // Opens the root and resolves its path, if not done yet; false if it cannot.
  bool opened() const;
  // Opens a path relative to the root without leaving it; -1 and errno otherwise.
  int open_beneath(const char* relative) const;
  // Opens a path relative to the root when, with every link resolved, it lies
  // below the resolved root; -1 and errno otherwise (EPERM when it leaves).
  int open_resolved(const char* relative) const;

  std::string mPath;
  mutable int mFd = -1;             // the root's descriptor
  mutable std::string mResolved;    // the root's path with every link resolved
};

}  // namespace KXRWebservice
