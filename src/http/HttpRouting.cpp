// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
#include "HttpRouting.h"

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

#include <boost/beast/core/string.hpp>

#include "Protocol.h"
#include "Settings.h"

namespace KXRWebservice {

namespace http = boost::beast::http;

namespace {

// Prefix under which the front web server forwards the configuration pages.
constexpr std::string_view kConfigPrefix = "/config";
// The page served for "/".
constexpr std::string_view kIndexPage = "/index.htm";

// One row of the content-type table.
struct MimeRow {
  std::string_view extension;
  std::string_view type;
};

// Tried from the top; the first match wins.
constexpr MimeRow kMimeTable[] = {
    {".htm", "text/html"},
    {".html", "text/html"},
    {".php", "text/html"},
    {".css", "text/css"},
    {".txt", "text/plain"},
    {".js", "application/javascript"},
    {".json", "application/json"},
    {".xml", "application/xml"},
    {".swf", "application/x-shockwave-flash"},
    {".flv", "video/x-flv"},
    {".png", "image/png"},
    {".jpe", "image/jpeg"},
    {".jpeg", "image/jpeg"},
    {".jpg", "image/jpeg"},
    {".gif", "image/gif"},
    {".bmp", "image/bmp"},
    {".ico", "image/vnd.microsoft.icon"},
    {".tiff", "image/tiff"},
    {".tif", "image/tiff"},
    {".svg", "image/svg+xml"},
    {".svgz", "image/svg+xml"},
};

// Content type of everything the table does not name.
constexpr std::string_view kDefaultMime = "application/text";

// The daemon's own answers beside the files: sign-in and sign-out (POST
// only) and the session document.
constexpr std::string_view kSignInPath = "/kxr-signin";
constexpr std::string_view kSignOutPath = "/kxr-signout";
constexpr std::string_view kSessionPath = "/kxr-session.json";

// A path without its query.
std::string_view without_query(std::string_view path) { return path.substr(0, path.find('?')); }

// Only these methods are served.
bool is_served_method(http::verb method) {
  return method == http::verb::get || method == http::verb::post;
}

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

RouteDecision decide_route(http::verb method, std::string_view target) {
  RouteDecision decision{Route::File, std::string(target), {}};
  if (decision.stripped.compare(0, kConfigPrefix.size(), kConfigPrefix) == 0)
    decision.stripped.erase(0, kConfigPrefix.size());
  decision.path = decision.stripped;
  if (decision.path.empty() || decision.path == "/") decision.path = kIndexPage;
  const std::string_view path = without_query(decision.path);
  if (!is_served_method(method))
    decision.route = Route::BadMethod;
  else if (decision.path.find(KxrProtocol::kServicePath) != std::string::npos)
    decision.route = Route::Endpoint;
  else if (method == http::verb::post && path == kSignInPath)
    decision.route = Route::SignIn;
  else if (method == http::verb::post && path == kSignOutPath)
    decision.route = Route::SignOut;
  else if (path == kSessionPath)
    decision.route = Route::Session;
  return decision;
}

bool is_public_file(const RouteDecision& decision) {
  const std::string_view path = without_query(decision.path);
  for (const std::string_view name : KxrSettings::kPublicFiles)
    if (path == name) return true;
  return false;
}

std::string sign_in_page(std::string_view target, const RouteDecision& decision) {
  const std::size_t prefix = target.size() - decision.stripped.size();
  return std::string(target.substr(0, prefix)) + KxrSettings::kPublicFiles[0];
}

bool file_name_for(std::string_view docRoot, std::string_view path, std::string& fileName) {
  if (path.empty() || path.front() != '/' || path.find("..") != std::string_view::npos)
    return false;
  fileName.assign(docRoot);
  fileName.append(path);
  const auto query = fileName.rfind('?');
  if (query != std::string::npos) fileName.erase(query);
  return fileName.size() != docRoot.size() + 1;
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

std::string_view mime_type(std::string_view path) {
  const auto dot = path.rfind('.');
  const std::string_view extension = dot == std::string_view::npos ? std::string_view() : path.substr(dot);
  for (const MimeRow& row : kMimeTable)
    if (boost::beast::iequals(extension, row.extension)) return row.type;
  return kDefaultMime;
}

}  // namespace KXRWebservice
