// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// How a request is answered: the routing decision, the file a path names, its
// content type, and the bodies of the plain answers (400, 404, 413). Apart
// from DocumentRoot, which opens the files, none needs a connection or the
// file system.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <boost/beast/core/error.hpp>
#include <boost/beast/http/verb.hpp>

namespace KXRWebservice {

// Body of the 404 answer.
inline constexpr char kFileNotFound[] = "File not found\r\n";
// Body of the 413 answer.
inline constexpr char kPayloadTooLarge[] = "Request payload too large!\r\n";
// Body of the 400 answer for the method token as received.
inline std::string bad_method_body(std::string_view method) {
  std::string body = "Invalid request-method '";
  body.append(method);
  body.append("'\r\n");
  return body;
}

// Who answers a request.
enum class Route { BadMethod, Endpoint, File, SignIn, SignOut, Session };

// The decision for one request, with the path after each rewriting step.
struct RouteDecision {
  Route route;
  std::string stripped;  // the target without a leading "/config"
  std::string path;      // stripped, with "" and "/" mapped to "/index.htm"
};

// Decides how a request with this method and target is answered.
RouteDecision decide_route(boost::beast::http::verb method, std::string_view target);

// Whether the file of a decision is one of the sign-in page's, served to a
// caller without a session.
bool is_public_file(const RouteDecision& decision);

// Where a request without a caller is sent for a page: the sign-in page,
// under the same prefix as the target.
std::string sign_in_page(std::string_view target, const RouteDecision& decision);

// The file name that path names below docRoot, its query cut off; false when
// the path may not name a file (the answer is then 404).
bool file_name_for(std::string_view docRoot, std::string_view path, std::string& fileName);

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

// Content type of a path by its extension (the text from its last '.').
std::string_view mime_type(std::string_view path);

}  // namespace KXRWebservice
