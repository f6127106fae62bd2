// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
#include "HttpRouting.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/openat2.h>
#include <sys/syscall.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <memory>

#include <boost/beast/core/string.hpp>

#include "Protocol.h"

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

// Only these methods are served.
bool is_served_method(http::verb method) {
  return method == http::verb::get || method == http::verb::post;
}

constexpr int kOpenFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;

// Opens an absolute path without following a link anywhere on the way: the
// common case, a path without links, costs one call. -1 and ELOOP when a
// link is met; -1 and ENOSYS where the kernel cannot do it (before Linux 5.6
// and off Linux), which is then not asked again.
int open_without_links(const char* path) {
#if defined(__linux__) && defined(SYS_openat2)
  static bool unavailable = false;
  if (!unavailable) {
    open_how how{};
    how.flags = kOpenFlags;
    how.resolve = RESOLVE_NO_SYMLINKS;
    const int fd = static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how));
    if (fd >= 0 || errno != ENOSYS) return fd;
    unavailable = true;
  }
#else
  (void)path;
#endif
  errno = ENOSYS;
  return -1;
}

// Opens fileName when its path with every link resolved lies below docRoot,
// itself resolved; -1 and errno otherwise (EPERM when it leaves the root).
int open_resolved_beneath(const std::string& docRoot, const std::string& fileName) {
  using Path = std::unique_ptr<char, decltype(&std::free)>;
  const Path root(::realpath(docRoot.c_str(), nullptr), &std::free);
  if (!root) return -1;
  const Path file(::realpath(fileName.c_str(), nullptr), &std::free);
  if (!file) return -1;
  const std::string_view r(root.get());
  const std::string_view f(file.get());
  // Below the root: a '/' must follow the root's own name (the root "/" ends in one).
  if (f.size() <= r.size() || f.compare(0, r.size(), r) != 0 || (r.back() != '/' && f[r.size()] != '/')) {
    errno = EPERM;
    return -1;
  }
  // A link put in place of the file after the check is not followed.
  return ::open(file.get(), kOpenFlags | O_NOFOLLOW);
}

}  // namespace

RouteDecision decide_route(http::verb method, std::string_view target) {
  RouteDecision decision{Route::File, std::string(target), {}};
  if (decision.stripped.compare(0, kConfigPrefix.size(), kConfigPrefix) == 0)
    decision.stripped.erase(0, kConfigPrefix.size());
  decision.path = decision.stripped;
  if (decision.path.empty() || decision.path == "/") decision.path = kIndexPage;
  if (!is_served_method(method))
    decision.route = Route::BadMethod;
  else if (decision.path.find(KxrProtocol::kServicePath) != std::string::npos)
    decision.route = Route::Endpoint;
  return decision;
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

void open_regular_fd(const std::string& docRoot, const std::string& fileName, int& fd, std::uint64_t& size,
                     boost::beast::error_code& ec) {
  ec = {};
  fd = -1;
  size = 0;
  // Non-blocking, so that a FIFO cannot stall the one thread in open. A path
  // with a link in it is resolved and served only when it stays below the
  // document root: a link must not hand out the host's files. So is every
  // path where the kernel cannot refuse links, or a sandbox refuses the call
  // (EPERM).
  int opened = open_without_links(fileName.c_str());
  if (opened < 0 && (errno == ELOOP || errno == ENOSYS || errno == EPERM))
    opened = open_resolved_beneath(docRoot, fileName);
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
