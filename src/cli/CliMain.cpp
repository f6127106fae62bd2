// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// One invocation of kxr-cli.
#include "CliMain.h"

#include "CliArgs.h"
#include "CliCall.h"
#include "CliJson.h"
#include "CliReport.h"
#include "CliTransport.h"
#include "Settings.h"

namespace KxrCli {
namespace {

// Ends a run without result: the message on stderr, or with --json as the
// one document on stdout.
int Stop(bool json, int status, const std::string& program, const std::string& message, std::ostream& out,
         std::ostream& err) {
  if (json)
    out << JsonError(message);
  else
    err << program << ": " << message << "\n";
  return status;
}

}  // namespace

int Run(const std::string& program, const std::vector<std::string>& args, const std::string& defaultSocket,
        std::ostream& out, std::ostream& err) {
  Invocation invocation;
  std::string error;
  Endpoint endpoint;
  if (!ParseCommandLine(args, defaultSocket, invocation, error) ||
      !MakeEndpoint(invocation.url, invocation.socketPath, endpoint, error)) {
    if (WantsJson(args)) return Stop(true, kExitUsage, program, error, out, err);
    const std::string usage = Usage(program, defaultSocket);
    err << program << ": " << error << "\n"
        << usage.substr(0, usage.find("\n\n") + 1) << "Run '" << program << " --help' for the syntax.\n";
    return kExitUsage;
  }
  if (invocation.command == Invocation::Command::kHelp) {
    out << Usage(program, defaultSocket);
    return kExitOk;
  }
  const bool write = invocation.command == Invocation::Command::kWrite;
  const std::string document = BuildEnvelope(write, invocation.entries);
  const bool json = invocation.json;
  if (document.size() > KxrSettings::kBodyLimit)
    return Stop(json, kExitUsage, program,
                "the batch is too large: its request has " + std::to_string(document.size()) +
                    " bytes, the daemon takes at most " + std::to_string(KxrSettings::kBodyLimit) +
                    "; split it over several calls",
                out, err);

  HttpReply reply;
  if (!Post(endpoint, document, reply, error)) return Stop(json, kExitNoAnswer, program, error, out, err);
  if (reply.status != 200)
    return Stop(json, kExitNoAnswer, program,
                "HTTP status " + std::to_string(reply.status) + " from " + endpoint.target, out, err);
  const Answer answer = ParseAnswer(reply.body);
  if (answer.kind == Answer::Kind::kMalformed)
    return Stop(json, kExitNoAnswer, program, "unexpected answer: " + answer.problem, out, err);
  if (answer.kind == Answer::Kind::kFault) {
    if (json)
      out << JsonFault(answer.faultCode, answer.faultString);
    else
      err << program << ": " << FormatFault(answer.faultCode, answer.faultString) << "\n";
    return kExitFailed;
  }
  std::vector<EntryResult> outcomes;
  if (!SplitResult(write, invocation.entries.size(), answer.result, outcomes, error))
    return Stop(json, kExitNoAnswer, program, "unexpected answer: " + error, out, err);
  int status = kExitOk;
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    if (!json) out << FormatEntryLine(write, invocation.entries[i], outcomes[i]) << "\n";
    if (outcomes[i].code != 0) status = kExitFailed;
  }
  if (json) out << JsonEntries(write, invocation.entries, outcomes);
  return status;
}

}  // namespace KxrCli
