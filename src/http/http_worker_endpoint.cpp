// The web-service endpoint: the page for a request without a body, and the
// answer document of a ReadWrite call for any other request.
#include "http_worker.h"
#include "web_service.h"

namespace KXRWebservice {

namespace {

// Served to a request without a body, whatever its method.
const std::string kEndpointPage =
    "<html>\n<head><title>LB/BSD KXR Webserver</title></head>\n<body>\nLB/BSD KXR Webserver\n</body>\n</html>\n";

}  // namespace

void http_worker::send_kxr_response(const worker_request& req) {
  if (req.body().empty()) {
    send_html_response(http::status::ok, kEndpointPage);
    return;
  }
  // Faults are answered with status 200 too: clients read the document.
  send_xml_response(http::status::ok, AnswerReadWrite(req.body(), mLock));
}

}  // namespace KXRWebservice
