// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Exchanges with the daemon and what their failures mean.
#include "CliExchange.h"

#include "CliReport.h"
#include "CliStatus.h"
#include "ResultCodes.h"
#include "Settings.h"

namespace KxrCli {
namespace {

// The exit status of a fault and its message: access denied names the user.
int FaultFailure(const Endpoint& endpoint, const Answer& answer, std::string& error) {
  error = FormatFault(answer.faultCode, answer.faultString);
  if (static_cast<uint32_t>(answer.faultCode) != KxrResult::AccessDenied) return kExitFailed;
  error = "access denied: the user" + (endpoint.user.empty() ? "" : " " + endpoint.user) +
          " may not make this call (a viewer may only read, a user without a role nothing); " + error;
  return kExitDenied;
}

}  // namespace

int HttpFailure(const Endpoint& endpoint, const std::string& target, const HttpReply& reply, std::string& error) {
  const std::string peer = Peer(endpoint);
  // The daemon asks for a sign-in with 401 at the service and a redirect to
  // its sign-in page for files.
  if (reply.status == 401 || (reply.status == 303 && reply.location.find("/signin.htm") != std::string::npos)) {
    error = !endpoint.cookie.empty() ? peer + " ended the session of " + endpoint.user + "; run again"
            : endpoint.host.empty()
                ? peer + " serves only root without a sign-in: give --user NAME (the password from KXR_PASSWORD "
                         "or a prompt)"
            : !endpoint.tls ? peer + " asks for a sign-in, which goes over https:// only: give -u https://... --user NAME"
                            : peer + " asks for a sign-in: give --user NAME (the password from KXR_PASSWORD, a prompt "
                                     "or ~/.netrc) or a ~/.netrc entry for " + endpoint.host;
    return kExitSignIn;
  }
  error = "HTTP status " + std::to_string(reply.status) + (reply.reason.empty() ? "" : " " + reply.reason) + " from " +
          peer + " " + target;
  if (reply.status / 100 == 3 && !reply.location.empty())
    error += ": it redirects to " + reply.location + "; give that URL with -u";
  else if (reply.status == 403)
    error += ": the front web server refuses this request";
  else if (reply.status == 421)
    error += ": the server does not serve the host name " + endpoint.host + "; use the one its certificate names";
  else if (reply.status == 429)
    error += ": too many requests or sign-ins; wait and try again";
  else if (reply.status == 502 || reply.status == 503)
    error += ": the daemon behind the front web server is not reachable now; try again later";
  else if (reply.status == 504)
    error += ": the daemon did not answer within the front web server's wait";
  return kExitNoAnswer;
}

bool CallDocument(bool write, const std::vector<EntryArg>& batch, std::string& document, std::string& error) {
  document = BuildEnvelope(write, batch);
  if (document.size() <= KxrSettings::kBodyLimit) return true;
  error = "the batch is too large: its request has " + std::to_string(document.size()) + " bytes, the daemon takes at most " +
          std::to_string(KxrSettings::kBodyLimit) + "; split it over several calls";
  return false;
}

int CallBatch(const Endpoint& endpoint, bool write, const std::vector<EntryArg>& batch,
              std::vector<EntryResult>& outcomes, std::string& error, Answer* fault) {
  std::string document;
  if (!CallDocument(write, batch, document, error)) return kExitUsage;
  HttpReply reply;
  if (!Post(endpoint, document, reply, error)) return kExitNoAnswer;
  if (reply.status != 200) return HttpFailure(endpoint, endpoint.target, reply, error);
  const Answer answer = ParseAnswer(reply.body);
  if (answer.kind == Answer::Kind::kMalformed) {
    error = "unexpected answer: " + answer.problem;
    return kExitNoAnswer;
  }
  if (answer.kind == Answer::Kind::kFault) {
    if (fault != nullptr) *fault = answer;
    return FaultFailure(endpoint, answer, error);
  }
  if (!SplitResult(write, batch.size(), answer.result, outcomes, error)) {
    error = "unexpected answer: " + error;
    return kExitNoAnswer;
  }
  return kExitOk;
}

int GetDictionary(const Endpoint& endpoint, std::string& text, std::string& source, std::string& error) {
  const std::string path = "/dictionary.json";
  HttpReply reply;
  if (!Get(endpoint, path, reply, error)) return kExitNoAnswer;
  source = endpoint.base + path;
  if (reply.status == 404) {
    error = "no dictionary at " + source + " (HTTP status 404): name one with --dictionary FILE";
    return kExitNoAnswer;
  }
  if (reply.status != 200) {
    const int status = HttpFailure(endpoint, source, reply, error);
    error += " (the dictionary)";
    return status;
  }
  text = reply.body;
  return kExitOk;
}

}  // namespace KxrCli
