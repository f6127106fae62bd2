// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The web-service endpoint: the page, and the ReadWrite call from its body to
// its answer document.
#include "WebService.h"

#include <syslog.h>

#include <optional>
#include <utility>

#include "Base64.h"
#include "KXRWeb.h"
#include "Kxr.h"
#include "Soap.h"
#include "Verbose.h"

namespace KXRWebservice {

namespace {

// Served to a request without a body.
constexpr char kEndpointPage[] =
    "<html>\n<head><title>LB/BSD KXR Webserver</title></head>\n<body>\nLB/BSD KXR Webserver\n</body>\n</html>\n";

// Holds the request mutex for one execution; the engine raises nothing, but
// the unlock must not depend on that.
class RequestLock {
 public:
  explicit RequestLock(pthread_mutex_t& lock) : mLock(lock) { pthread_mutex_lock(&mLock); }
  ~RequestLock() { pthread_mutex_unlock(&mLock); }
  RequestLock(const RequestLock&) = delete;
  RequestLock& operator=(const RequestLock&) = delete;

 private:
  pthread_mutex_t& mLock;
};

}  // namespace

EndpointAnswer AnswerEndpoint(const std::string& body, pthread_mutex_t& lock,
                              std::chrono::steady_clock::time_point deadline) {
  if (body.empty()) return EndpointAnswer{true, kEndpointPage};
  return EndpointAnswer{false, AnswerReadWrite(body, lock, deadline)};
}

std::string AnswerReadWrite(const std::string& body, pthread_mutex_t& lock,
                            std::chrono::steady_clock::time_point deadline) {
  _KXR_Parameters parameters;
  const int converted = CKxr::SoapToKxrParameters(body, parameters);
  if (converted < 0) return CSoap::CreateFaultString(converted);

  std::string result;
  std::optional<CKxr> engine;
  try {
    // The Base64 text and then the record are handed on, not copied: neither
    // is used here again.
    parameters.pwrData = Base64::decode(std::move(parameters.pwrData));
    // Building the engine may run out of memory: that is this call's fault,
    // not the end of the daemon.
    engine.emplace(std::move(parameters));
    engine->SetDeadline(deadline);
  } catch (...) {
    return CSoap::CreateFaultString(KXRWEB_ERR_OUT_OF_MEMORY);
  }

  int executed;
  {
    RequestLock held(lock);
    executed = engine->Execute(result);
  }
  engine.reset();  // releases the automation library before the answer is built

  if (executed < 0) {
    std::string fault = CSoap::CreateFaultString(executed);
    if (v) syslog(LOG_NOTICE, "%s", fault.c_str());
    return fault;
  }
  try {
    return CSoap::CreateResponse(Base64::encode(std::move(result)));
  } catch (...) {
    return CSoap::CreateFaultString(KXRWEB_ERR_OUT_OF_MEMORY);
  }
}

}  // namespace KXRWebservice
