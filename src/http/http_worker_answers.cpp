// Routing of a request and the worker's answers: files and string bodies.
#include <syslog.h>

#include <tuple>
#include <utility>

#include <boost/beast/http/write.hpp>

#include "http_routing.h"
#include "http_worker.h"
#include "verbose.h"

namespace KXRWebservice {

namespace {

// Value of the Server field of every answer.
constexpr char kServerName[] = "Beast";

// Writes, in verbose mode, how the target was rewritten and where it points.
void log_route(std::string_view target, const RouteDecision& decision, const std::string& docRoot) {
  if (!v) return;
  syslog(LOG_NOTICE, "target: %s", std::string(target).c_str());
  syslog(LOG_NOTICE, "target: %s", decision.stripped.c_str());
  syslog(LOG_NOTICE, "target: %s", decision.path.c_str());
  syslog(LOG_NOTICE, "process_request: root: %s", docRoot.c_str());
  syslog(LOG_NOTICE, "process_request: file: %s", decision.path.c_str());
  syslog(LOG_NOTICE, "process_request: full: %s", (docRoot + decision.path).c_str());
}

}  // namespace

void http_worker::process_request(const worker_request& req) {
  const RouteDecision decision = decide_route(req.method(), req.target());
  log_route(req.target(), decision, mDocRoot);

  switch (decision.route) {
    case Route::BadMethod:
      send_bad_response(http::status::bad_request, bad_method_body(req.method_string()));
      break;
    case Route::Endpoint:
      send_kxr_response(req);
      break;
    case Route::File:
      send_file(decision.path);
      break;
  }
}

void http_worker::send_file(std::string_view path) {
  std::string fileName;
  if (!file_name_for(mDocRoot, path, fileName)) {
    send_bad_response(http::status::not_found, kFileNotFound);
    return;
  }
  boost::beast::file_stdio file;
  boost::beast::error_code ec;
  open_regular_file(fileName, file, ec);
  file_body::value_type body;
  if (!ec) body.reset(std::move(file), ec);
  if (ec) {
    if (v) syslog(LOG_NOTICE, "send_file: file_open: %s %s", fileName.c_str(), ec.message().c_str());
    send_bad_response(http::status::not_found, kFileNotFound);
    return;
  }

  mFileResponse.emplace(std::piecewise_construct, std::make_tuple(), std::make_tuple(mAlloc));
  mFileResponse->result(http::status::ok);
  mFileResponse->keep_alive(false);
  mFileResponse->set(http::field::server, kServerName);
  mFileResponse->set(http::field::content_type, mime_type(fileName));
  mFileResponse->body() = std::move(body);
  mFileResponse->prepare_payload();

  mFileSerializer.emplace(*mFileResponse);
  http::async_write(mSocket, *mFileSerializer,
                    [this](const boost::beast::error_code&, std::size_t) { finish_answer(); });
}

void http_worker::send_response(http::status status, const std::string& body,
                                const std::string& contentType) {
  mStringResponse.emplace(std::piecewise_construct, std::make_tuple(), std::make_tuple(mAlloc));
  mStringResponse->result(status);
  mStringResponse->keep_alive(false);
  mStringResponse->set(http::field::server, kServerName);
  mStringResponse->set(http::field::content_type, contentType);
  mStringResponse->body() = body;
  mStringResponse->prepare_payload();

  mStringSerializer.emplace(*mStringResponse);
  http::async_write(mSocket, *mStringSerializer,
                    [this](const boost::beast::error_code&, std::size_t) { finish_answer(); });
}

void http_worker::send_bad_response(http::status status, const std::string& body) {
  send_response(status, body, "text/plain");
}

void http_worker::send_html_response(http::status status, const std::string& body) {
  send_response(status, body, "text/html");
}

void http_worker::send_xml_response(http::status status, const std::string& body) {
  send_response(status, body, "text/xml");
}

}  // namespace KXRWebservice
