// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// How a request is answered: the routing decision, the file a path names, its
// content type, and the bodies of the plain answers (400, 404, 413). None
// needs a connection or the file system: DocumentRoot (DocumentRoot.h) opens
// the files.
#pragma once

#include <ostream>  // Boost 1.81's verb.hpp prints a verb without including it
#include <string>
#include <string_view>

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

// Content type of a path by its extension (the text from its last '.').
std::string_view mime_type(std::string_view path);

}  // namespace KXRWebservice
