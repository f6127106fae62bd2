// The web-service endpoint: the page for a request without a body, and a fault
// for every call until the request engine answers them.
#include "KXRWeb.h"
#include "Soap.h"
#include "http_worker.h"

namespace KXRWebservice {

namespace {

// Served to a request without a body.
const std::string kEndpointPage =
    "<html>\n<head><title>LB/BSD KXR Webserver</title></head>\n<body>\nLB/BSD KXR Webserver\n</body>\n</html>\n";

}  // namespace

void http_worker::send_kxr_response(const worker_request& req) {
  if (req.body().empty()) {
    send_html_response(http::status::ok, kEndpointPage);
    return;
  }
  send_xml_response(http::status::ok, CSoap::CreateFaultString(KXRWEB_ERR_UNSPECIFIC));
}

}  // namespace KXRWebservice
