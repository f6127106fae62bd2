// One invocation of kxr-cli.
#include "CliMain.h"

#include "CliArgs.h"
#include "CliCall.h"
#include "CliReport.h"
#include "CliTransport.h"
#include "Settings.h"

namespace KxrCli {

int Run(const std::string& program, const std::vector<std::string>& args, const std::string& defaultSocket,
        std::ostream& out, std::ostream& err) {
  Invocation invocation;
  std::string error;
  Endpoint endpoint;
  if (!ParseCommandLine(args, defaultSocket, invocation, error) ||
      !MakeEndpoint(invocation.url, invocation.socketPath, endpoint, error)) {
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
  if (document.size() > KxrSettings::kBodyLimit) {
    err << program << ": the batch is too large: its request has " << document.size()
        << " bytes, the daemon takes at most " << KxrSettings::kBodyLimit << "; split it over several calls\n";
    return kExitUsage;
  }

  HttpReply reply;
  if (!Post(endpoint, document, reply, error)) {
    err << program << ": " << error << "\n";
    return kExitNoAnswer;
  }
  if (reply.status != 200) {
    err << program << ": HTTP status " << reply.status << " from " << endpoint.target << "\n";
    return kExitNoAnswer;
  }
  const Answer answer = ParseAnswer(reply.body);
  if (answer.kind == Answer::Kind::kMalformed) {
    err << program << ": unexpected answer: " << answer.problem << "\n";
    return kExitNoAnswer;
  }
  if (answer.kind == Answer::Kind::kFault) {
    err << program << ": " << FormatFault(answer.faultCode, answer.faultString) << "\n";
    return kExitFailed;
  }
  std::vector<EntryResult> outcomes;
  if (!SplitResult(write, invocation.entries.size(), answer.result, outcomes, error)) {
    err << program << ": unexpected answer: " << error << "\n";
    return kExitNoAnswer;
  }
  int status = kExitOk;
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    out << FormatEntryLine(write, invocation.entries[i], outcomes[i]) << "\n";
    if (outcomes[i].code != 0) status = kExitFailed;
  }
  return status;
}

}  // namespace KxrCli
