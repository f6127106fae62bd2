// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The web-service endpoint: the page, and the ReadWrite call from its body to
// its answer document; the caller's role, and the audit line of each write.
#include "WebService.h"

#include <syslog.h>

#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

#include "Base64.h"
#include "KXRWeb.h"
#include "Kxr.h"
#include "ResultCodes.h"
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

// Written entries on one audit line. With the longest values shown, a line
// stays below the 1024 bytes that a plain syslog relay passes on whole; a
// larger batch goes on as numbered parts.
constexpr std::size_t kEntriesPerLine = 12;

// The words every audit line begins with, up to the call's group and count.
std::string AuditHead(const char* what, const Caller& caller, const _KXR_Parameters* call) {
  char numbers[48] = "group=? entries=?";
  if (call != nullptr)
    std::snprintf(numbers, sizeof numbers, "group=0x%04X entries=%d", static_cast<unsigned>(call->indexGroup),
                  call->indexOffset);
  return std::string("audit: ") + what + " " + caller.Who() + " " + numbers;
}

// Logs a line that must not be lost for want of memory: the fallback names
// at least the caller.
template <typename Build>
void Audit(const Caller& caller, Build&& build) {
  try {
    build();
  } catch (...) {
    syslog(LOG_NOTICE, "audit: call uid=%u (details lost: out of memory)", static_cast<unsigned>(caller.uid));
  }
}

// The audit line of a call refused for its caller's role; call is null when
// the body did not parse.
void AuditRefused(const Caller& caller, const _KXR_Parameters* call) {
  Audit(caller, [&] { syslog(LOG_NOTICE, "%s", AuditHead("refused", caller, call).c_str()); });
}

// The audit lines of an executed write: its fault, or each written entry's
// index:sub-index, length and result code (never the data), kEntriesPerLine
// a line.
void AuditWrite(const Caller& caller, const _KXR_Parameters& call,
                const std::vector<KxrProtocol::SubRequestHeader>& written, int executed, const std::string& result) {
  Audit(caller, [&] {
    const std::string head = AuditHead("write", caller, &call);
    if (executed < 0 || result.size() < written.size() * KxrProtocol::kWriteRecordSize) {
      syslog(LOG_NOTICE, "%s fault=0x%08X", head.c_str(), static_cast<unsigned>(executed));
      return;
    }
    const std::size_t parts = (written.size() + kEntriesPerLine - 1) / kEntriesPerLine;
    for (std::size_t part = 0; part < parts; ++part) {
      std::string line = head + " part=" + std::to_string(part + 1) + "/" + std::to_string(parts) + ":";
      for (std::size_t i = part * kEntriesPerLine; i < written.size() && i < (part + 1) * kEntriesPerLine; ++i) {
        char entry[64];
        std::snprintf(entry, sizeof entry, "%s 0x%04X:%02X %u bytes 0x%08X", i % kEntriesPerLine ? "," : "",
                      written[i].index, written[i].subIndex, static_cast<unsigned>(written[i].length),
                      static_cast<unsigned>(KxrProtocol::GetLe32(result, i * KxrProtocol::kWriteRecordSize)));
        line += entry;
      }
      syslog(LOG_NOTICE, "%s", line.c_str());
    }
  });
}

// The headers of a write buffer's entries, as far as it holds them.
std::vector<KxrProtocol::SubRequestHeader> WrittenEntries(const _KXR_Parameters& call) {
  std::vector<KxrProtocol::SubRequestHeader> headers;
  const std::size_t held = call.pwrData.size() / KxrProtocol::kHeaderSize;
  for (std::size_t i = 0; call.indexOffset > 0 && i < static_cast<std::size_t>(call.indexOffset) && i < held &&
                          i < static_cast<std::size_t>(KxrProtocol::kMaxSubRequests);
       ++i)
    headers.push_back(KxrProtocol::DecodeHeader(call.pwrData, i));
  return headers;
}

}  // namespace

EndpointAnswer AnswerEndpoint(const std::string& body, const Caller& caller, pthread_mutex_t& lock,
                              std::chrono::steady_clock::time_point deadline) {
  if (body.empty()) return EndpointAnswer{true, kEndpointPage};
  return EndpointAnswer{false, AnswerReadWrite(body, lock, deadline, caller)};
}

std::string AnswerReadWrite(const std::string& body, pthread_mutex_t& lock,
                            std::chrono::steady_clock::time_point deadline, const Caller& caller) {
  // The role is decided on the call as this parse reads it, the one that the
  // engine executes: no other reading of the body counts.
  _KXR_Parameters parameters;
  const int converted = CKxr::SoapToKxrParameters(body, parameters);
  const auto group = converted == KXRWEB_SUCCESS ? std::optional<int>(parameters.indexGroup) : std::nullopt;
  if (!KxrAccess::MayCall(caller.role, group)) {
    AuditRefused(caller, converted == KXRWEB_SUCCESS ? &parameters : nullptr);
    return CSoap::CreateFaultString(static_cast<int>(KxrResult::AccessDenied));
  }
  if (converted < 0) return CSoap::CreateFaultString(converted);

  const bool writes = parameters.indexGroup == KxrProtocol::kSumUpWrite;
  const _KXR_Parameters call{parameters.netId, parameters.nPort, parameters.indexGroup, parameters.indexOffset,
                             parameters.cbRdLen, {}};
  std::vector<KxrProtocol::SubRequestHeader> written;
  std::string result;
  std::optional<CKxr> engine;
  try {
    // The Base64 text and then the record are handed on, not copied: neither
    // is used here again.
    parameters.pwrData = Base64::decode(std::move(parameters.pwrData));
    if (writes) written = WrittenEntries(parameters);
    // Building the engine may run out of memory: that is this call's fault,
    // not the end of the daemon.
    engine.emplace(std::move(parameters));
    engine->SetDeadline(deadline);
  } catch (...) {
    if (writes) AuditWrite(caller, call, written, KXRWEB_ERR_OUT_OF_MEMORY, result);
    return CSoap::CreateFaultString(KXRWEB_ERR_OUT_OF_MEMORY);
  }

  int executed;
  {
    RequestLock held(lock);
    executed = engine->Execute(result);
  }
  engine.reset();  // releases the automation library before the answer is built
  if (writes) AuditWrite(caller, call, written, executed, result);

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
