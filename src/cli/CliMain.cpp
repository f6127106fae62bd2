// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// One invocation of kxr-cli.
#include "CliMain.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <sstream>

#include "CliArgs.h"
#include "CliCall.h"
#include "CliJson.h"
#include "CliReport.h"
#include "CliSaveRestore.h"
#include "CliSignIn.h"
#include "CliSnapshot.h"
#include "CliTransport.h"
#include "ResultCodes.h"
#include "Settings.h"

namespace KxrCli {

uid_t (*gCallerUid)() = ::getuid;

namespace {

int Stop(bool json, int status, const std::string& program, const std::string& message, std::ostream& out,
         std::ostream& err) {
  return StopRun(program, json, status, message, out, err);
}

// A whole file, or standard input for "-"; false and why.
bool ReadWholeFile(const std::string& path, std::string& text, std::string& error) {
  std::ifstream file;
  if (path != "-") file.open(path, std::ios::binary);
  std::istream& in = path == "-" ? std::cin : file;
  if (!in) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream whole;
  whole << in.rdbuf();
  if (in.bad()) {
    error = "cannot read " + path;
    return false;
  }
  text = whole.str();
  return true;
}

// The exit status of an HTTP answer other than 200, and a message that names
// the status and, for those a user can act on, what to do.
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

// The exit status of a fault and its message: access denied names the user.
int FaultFailure(const Endpoint& endpoint, const Answer& answer, std::string& error) {
  error = FormatFault(answer.faultCode, answer.faultString);
  if (static_cast<uint32_t>(answer.faultCode) != KxrResult::AccessDenied) return kExitFailed;
  error = "access denied: the user" + (endpoint.user.empty() ? "" : " " + endpoint.user) +
          " may not make this call (a viewer may only read, a user without a role nothing); " + error;
  return kExitDenied;
}

// One call of a batch over the endpoint.
int CallBatch(const Endpoint& endpoint, bool write, const std::vector<EntryArg>& batch,
              std::vector<EntryResult>& outcomes, std::string& error) {
  HttpReply reply;
  if (!Post(endpoint, BuildEnvelope(write, batch), reply, error)) return kExitNoAnswer;
  if (reply.status != 200) return HttpFailure(endpoint, endpoint.target, reply, error);
  const Answer answer = ParseAnswer(reply.body);
  if (answer.kind == Answer::Kind::kMalformed) {
    error = "unexpected answer: " + answer.problem;
    return kExitNoAnswer;
  }
  if (answer.kind == Answer::Kind::kFault) return FaultFailure(endpoint, answer, error);
  if (!SplitResult(write, batch.size(), answer.result, outcomes, error)) {
    error = "unexpected answer: " + error;
    return kExitNoAnswer;
  }
  return kExitOk;
}

// save and restore: the dictionary from --dictionary or from the daemon, then the command.
int RunSnapshot(const std::string& program, const Invocation& invocation, const Endpoint& endpoint, std::ostream& out,
                std::ostream& err) {
  const bool json = invocation.json;
  std::string error, snapshot, text;
  // restore reads its file first: a missing one costs no exchange.
  if (invocation.command == Invocation::Command::kRestore && !ReadWholeFile(invocation.file, snapshot, error))
    return Stop(json, kExitUsage, program, error, out, err);
  int badDictionary = kExitUsage;
  std::string source = invocation.dictionaryFile;
  if (!invocation.dictionaryFile.empty()) {
    if (!ReadWholeFile(invocation.dictionaryFile, text, error)) return Stop(json, kExitUsage, program, error, out, err);
  } else {
    const std::string path = "/dictionary.json";
    HttpReply reply;
    if (!Get(endpoint, path, reply, error)) return Stop(json, kExitNoAnswer, program, error, out, err);
    source = endpoint.base + path;
    if (reply.status == 404)
      return Stop(json, kExitNoAnswer, program, "no dictionary at " + source + " (HTTP status 404): name one with --dictionary FILE",
                  out, err);
    if (reply.status != 200) {
      const int status = HttpFailure(endpoint, source, reply, error);
      return Stop(json, status, program, error + " (the dictionary)", out, err);
    }
    text = reply.body;
    badDictionary = kExitNoAnswer;
  }
  std::vector<DictEntry> dict;
  if (!ParseDictionary(text, dict, error))
    return Stop(json, badDictionary, program, "dictionary " + source + ": " + error, out, err);
  const Caller call = [&endpoint](bool write, const std::vector<EntryArg>& batch, std::vector<EntryResult>& outcomes,
                                  std::string& why) { return CallBatch(endpoint, write, batch, outcomes, why); };
  if (invocation.command == Invocation::Command::kSave)
    return RunSave(program, invocation, dict, call, TakenText(std::time(nullptr)), out, err);
  return RunRestore(program, invocation, dict, snapshot, call, out, err);
}

// The command of the invocation, over the endpoint as it is signed in.
int RunCommand(const std::string& program, const Invocation& invocation, const Endpoint& endpoint, std::ostream& out,
               std::ostream& err) {
  const bool json = invocation.json;
  std::string error;
  if (invocation.command == Invocation::Command::kSave || invocation.command == Invocation::Command::kRestore)
    return RunSnapshot(program, invocation, endpoint, out, err);
  const bool write = invocation.command == Invocation::Command::kWrite;
  const std::string document = BuildEnvelope(write, invocation.entries);
  if (document.size() > KxrSettings::kBodyLimit)
    return Stop(json, kExitUsage, program,
                "the batch is too large: its request has " + std::to_string(document.size()) +
                    " bytes, the daemon takes at most " + std::to_string(KxrSettings::kBodyLimit) +
                    "; split it over several calls",
                out, err);

  HttpReply reply;
  if (!Post(endpoint, document, reply, error)) return Stop(json, kExitNoAnswer, program, error, out, err);
  if (reply.status != 200) {
    const int status = HttpFailure(endpoint, endpoint.target, reply, error);
    return Stop(json, status, program, error, out, err);
  }
  const Answer answer = ParseAnswer(reply.body);
  if (answer.kind == Answer::Kind::kMalformed)
    return Stop(json, kExitNoAnswer, program, "unexpected answer: " + answer.problem, out, err);
  if (answer.kind == Answer::Kind::kFault) {
    const int status = FaultFailure(endpoint, answer, error);
    if (json)
      out << JsonFault(answer.faultCode, answer.faultString);
    else
      err << program << ": " << error << "\n";
    return status;
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

// Signs in at the endpoint for the run; its cookie then goes with every
// request. The password is wiped once sent; a refusal names the user only.
int SignIn(Endpoint& endpoint, const std::string& login, std::string& password, std::string& error) {
  endpoint.user = login;
  std::string form = SignInForm(login, password);
  HttpReply reply;
  const bool answered = PostForm(endpoint, KxrProtocol::kSignInPath, form, reply, error);
  std::fill(form.begin(), form.end(), '\0');
  std::fill(password.begin(), password.end(), '\0');
  if (!answered) return kExitNoAnswer;
  if (reply.status == 403 && reply.body.compare(0, 15, "Sign-in refused") == 0) {
    error = "sign-in refused by " + Peer(endpoint) + ": wrong user name or password for " + login +
            ", or a user without a role";
    return kExitSignIn;
  }
  if (reply.status != 200) return HttpFailure(endpoint, endpoint.base + KxrProtocol::kSignInPath, reply, error);
  if (reply.session.size() != 64 || reply.session.find_first_not_of("0123456789abcdef") != std::string::npos) {
    error = "unexpected answer: the sign-in at " + Peer(endpoint) + " gave no session";
    return kExitNoAnswer;
  }
  endpoint.cookie = reply.session;
  return kExitOk;
}

// Ends the run's session, best effort: after a failed command too, within a
// short wait, and without changing the run's outcome.
void SignOut(Endpoint endpoint) {
  endpoint.timeout = std::chrono::seconds(10);
  HttpReply reply;
  std::string error;
  PostForm(endpoint, KxrProtocol::kSignOutPath, "", reply, error);
}

// While a session is open, SIGINT, SIGTERM and SIGHUP end the run rather
// than the process: the exchange under way gives up, the session is signed
// out, and then the signal ends the process as it would have. A second
// signal ends it at once; an ignored one (nohup) stays ignored.
constexpr int kEndSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void NoteStopSignal(int signal) {
  if (gStopSignal == 0) gStopSignal = signal;
}

class SignalsEndTheRun {
 public:
  SignalsEndTheRun() {
    struct sigaction note {};
    note.sa_handler = NoteStopSignal;
    note.sa_flags = SA_RESETHAND | SA_RESTART;
    sigemptyset(&note.sa_mask);
    for (std::size_t i = 0; i < std::size(kEndSignals); ++i) {
      sigaction(kEndSignals[i], nullptr, &saved_[i]);
      if (saved_[i].sa_handler != SIG_IGN) sigaction(kEndSignals[i], &note, nullptr);
    }
  }
  ~SignalsEndTheRun() { Release(); }
  // Gives the handlers back; the signal that came meanwhile, 0 for none.
  int Release() {
    if (released_) return 0;
    released_ = true;
    for (std::size_t i = 0; i < std::size(kEndSignals); ++i) sigaction(kEndSignals[i], &saved_[i], nullptr);
    const int signal = gStopSignal;
    gStopSignal = 0;
    return signal;
  }

 private:
  struct sigaction saved_[std::size(kEndSignals)] {};
  bool released_ = false;
};

}  // namespace

int StopRun(const std::string& program, bool json, int status, const std::string& message, std::ostream& out,
            std::ostream& err) {
  if (json)
    out << JsonError(message);
  else
    err << program << ": " << message << "\n";
  return status;
}

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
