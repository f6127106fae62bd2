// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// One invocation of kxr-cli: which command, over which endpoint, by whom.
#include "CliMain.h"

#include <unistd.h>

#include <csignal>

#include "CliArgs.h"
#include "CliReadWrite.h"
#include "CliSaveRestore.h"
#include "CliSession.h"
#include "CliSignIn.h"
#include "CliTransport.h"

namespace KxrCli {

uid_t (*gCallerUid)() = ::getuid;

namespace {

int Stop(bool json, int status, const std::string& program, const std::string& message, std::ostream& out,
         std::ostream& err) {
  return StopRun(program, json, status, message, out, err);
}

// The command of the invocation, over the endpoint as it is signed in.
int RunCommand(const std::string& program, const Invocation& invocation, const Endpoint& endpoint, std::ostream& out,
               std::ostream& err) {
  if (invocation.command == Invocation::Command::kSave || invocation.command == Invocation::Command::kRestore)
    return RunSaveRestore(program, invocation, endpoint, out, err);
  return RunReadWrite(program, invocation, endpoint, out, err);
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
  if (invocation.printCall) return PrintCall(program, invocation, out, err);
  const bool json = invocation.json;
  endpoint.caFile = invocation.caFile;
  endpoint.insecure = invocation.insecure;
  if (endpoint.tls && !endpoint.caFile.empty() && !CheckCaFile(endpoint.caFile, error))
    return Stop(json, kExitUsage, program, error, out, err);
  // Who signs in: over https:// the user of --user or ~/.netrc; on the socket
  // the user of --user, unless the caller is root, whom the daemon serves
  // without one; over http:// nobody, so that no password goes out in clear
  // text (--user is refused there, ~/.netrc not read).
  const bool socket = endpoint.host.empty();
  const bool signIn = endpoint.tls || (socket && !invocation.user.empty() && gCallerUid() != 0);
  std::string login, password;
  if (signIn && !Credentials(invocation.user, socket ? endpoint.socketPath : endpoint.host, endpoint.tls,
                             ProcessSources(), login, password, error))
    return Stop(json, kExitUsage, program, error, out, err);
  if (login.empty()) return RunCommand(program, invocation, endpoint, out, err);
  SignalsEndTheRun signals;
  int status = SignIn(endpoint, login, password, error);
  status = status != kExitOk ? Stop(json, status, program, error, out, err)
                             : RunCommand(program, invocation, endpoint, out, err);
  const int signal = signals.Release();
  if (!endpoint.cookie.empty()) SignOut(endpoint);
  if (signal != 0) {
    out.flush(), err.flush();
    std::raise(signal);
  }
  return status;
}

}  // namespace KxrCli
