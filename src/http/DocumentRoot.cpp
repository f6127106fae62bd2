// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
#include "DocumentRoot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Which open beneath the root this system has; KXR_PORTABLE_IO (the portable
// preset) makes a Linux build take the resolved-path check of the systems
// that have neither, so that CI runs it.
#if defined(__linux__) && !defined(KXR_PORTABLE_IO) && __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#include <sys/syscall.h>
#if defined(SYS_openat2)
#define KXR_OPENAT2 1  // Linux 5.6 and later
#endif
#elif defined(O_RESOLVE_BENEATH) && !defined(KXR_PORTABLE_IO)
#define KXR_RESOLVE_BENEATH 1  // FreeBSD 13 and later
#endif

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <utility>

namespace KXRWebservice {

namespace {

constexpr int kOpenFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;

// The root is only ever a starting point for the opens beneath it.
#if defined(__linux__) && !defined(KXR_PORTABLE_IO)
constexpr int kRootFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#elif defined(O_SEARCH)
constexpr int kRootFlags = O_SEARCH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kRootFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

#if defined(KXR_OPENAT2) || defined(KXR_RESOLVE_BENEATH)
// Whether an open beneath the root failed for a reason the resolved-path
// check can decide: an absolute link (which may well point back inside), a
// link or ".." that leaves the root, or a kernel or sandbox that refuses the
// call.
bool check_resolved_after(int error) {
  if (error == EXDEV || error == ENOSYS || error == EPERM) return true;
#if defined(ENOTCAPABLE)
  if (error == ENOTCAPABLE) return true;
#endif
  return false;
}
#endif

}  // namespace

std::string_view below_root(std::string_view root, std::string_view path) {
  // A '/' must follow the root's own name (the root "/" ends in one): a
  // sibling named like the root plus a suffix is not below it.
  const std::size_t name = root.size() + (root.empty() || root.back() != '/' ? 1 : 0);
  if (path.size() <= name || path.compare(0, root.size(), root) != 0 || path[name - 1] != '/') return {};
  return path.substr(name);
}

int open_unlinked(int root, std::string_view relative) {
  int dir = root;
  std::string name;
  for (;;) {
    const std::size_t slash = relative.find('/');
    name.assign(relative.substr(0, slash));
    const bool last = slash == std::string_view::npos;
    // Intermediate directories are opened like the root: only to go on from.
    const int fd = ::openat(dir, name.c_str(), (last ? kOpenFlags : kRootFlags) | O_NOFOLLOW);
    const int error = errno;
    if (dir != root) ::close(dir);
    errno = error;
    if (fd < 0 || last) return fd;
    dir = fd;
    relative.remove_prefix(slash + 1);
  }
}

DocumentRoot::DocumentRoot(std::string path) : mPath(std::move(path)) { opened(); }

DocumentRoot::~DocumentRoot() {
  if (mFd >= 0) ::close(mFd);
}

bool DocumentRoot::opened() const {
  if (mFd >= 0) return true;
  using Path = std::unique_ptr<char, decltype(&std::free)>;
  const Path resolved(::realpath(mPath.c_str(), nullptr), &std::free);
  if (!resolved) return false;
  const int fd = ::open(resolved.get(), kRootFlags);
  if (fd < 0) return false;
  mResolved = resolved.get();
  mFd = fd;
  return true;
}

int DocumentRoot::open_beneath(const char* relative) const {
#if defined(KXR_OPENAT2)
  // Links inside the root are followed; a link or ".." that leaves it, and
  // an absolute link, fail with EXDEV. The common case costs one call.
  static bool unavailable = false;  // before Linux 5.6
  if (!unavailable) {
    open_how how{};
    how.flags = kOpenFlags;
    how.resolve = RESOLVE_BENEATH;
    const int fd = static_cast<int>(::syscall(SYS_openat2, mFd, relative, &how, sizeof how));
    if (fd >= 0 || !check_resolved_after(errno)) return fd;
    if (errno == ENOSYS) unavailable = true;
  }
#elif defined(KXR_RESOLVE_BENEATH)
  // The same, failing with ENOTCAPABLE.
  const int fd = ::openat(mFd, relative, kOpenFlags | O_RESOLVE_BENEATH);
  if (fd >= 0 || !check_resolved_after(errno)) return fd;
#endif
  return open_resolved(relative);
}

int DocumentRoot::open_resolved(const char* relative) const {
  using Path = std::unique_ptr<char, decltype(&std::free)>;
  // From the root as resolved at its open, so that this path and the open
  // beneath the root's descriptor agree when the root's link is replaced.
  const Path file(::realpath((mResolved + '/' + relative).c_str(), nullptr), &std::free);
  if (!file) return -1;
  const std::string_view below = below_root(mResolved, file.get());
  if (below.empty()) {
    errno = EPERM;
    return -1;
  }
  // The resolved name holds no link; opening it again from the root's
  // descriptor, a component at a time and none followed if it is a link,
  // a directory swapped for a link since the resolution fails instead of
  // leading outside.
  return open_unlinked(mFd, below);
}

void DocumentRoot::open_regular(const std::string& fileName, int& fd, std::uint64_t& size,
                                boost::beast::error_code& ec) const {
  ec = {};
  fd = -1;
  size = 0;
  // Non-blocking, so that a FIFO cannot stall the one thread in open. A link
  // must not hand out the host's files: whatever the path names is served
  // only when it lies below the document root with every link resolved.
  int opened = -1;
  if (!this->opened())
    errno = ENOENT;
  else if (fileName.size() <= mPath.size() + 1 || fileName.compare(0, mPath.size() + 1, mPath + '/') != 0)
    errno = EPERM;  // not from file_name_for
  else
    opened = open_beneath(fileName.c_str() + mPath.size() + 1);
  if (opened < 0) {
    ec.assign(errno, boost::system::generic_category());
    return;
  }
  struct stat status {};
  if (::fstat(opened, &status) != 0)
    ec.assign(errno, boost::system::generic_category());
  else if (S_ISDIR(status.st_mode))
    ec = make_error_code(boost::system::errc::is_a_directory);
  else if (!S_ISREG(status.st_mode))
    ec = make_error_code(boost::system::errc::operation_not_supported);
  if (ec) {
    ::close(opened);
    return;
  }
  fd = opened;
  size = static_cast<std::uint64_t>(status.st_size);
}

}  // namespace KXRWebservice
