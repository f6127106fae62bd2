// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
#include "HttpRouting.h"

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


// A path without its query.
std::string_view without_query(std::string_view path) { return path.substr(0, path.find('?')); }

// Only these methods are served.
bool is_served_method(http::verb method) {
  return method == http::verb::get || method == http::verb::post;
}

}  // namespace

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
  else if (method == http::verb::post && path == KxrProtocol::kSignInPath)
    decision.route = Route::SignIn;
  else if (method == http::verb::post && path == KxrProtocol::kSignOutPath)
    decision.route = Route::SignOut;
  else if (path == KxrProtocol::kSessionPath)
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

std::string_view mime_type(std::string_view path) {
  const auto dot = path.rfind('.');
  const std::string_view extension = dot == std::string_view::npos ? std::string_view() : path.substr(dot);
  for (const MimeRow& row : kMimeTable)
    if (boost::beast::iequals(extension, row.extension)) return row.type;
  return kDefaultMime;
}

}  // namespace KXRWebservice
