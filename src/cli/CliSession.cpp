// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Signing in and out, and the signals that come in between.
#include "CliSession.h"

#include <algorithm>
#include <chrono>

#include "CliExchange.h"
#include "CliSignIn.h"
#include "CliStatus.h"
#include "Protocol.h"

namespace KxrCli {
namespace {

extern "C" void NoteStopSignal(int signal) {
  if (gStopSignal == 0) gStopSignal = signal;
}

}  // namespace

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

void SignOut(Endpoint endpoint) {
  endpoint.timeout = std::chrono::seconds(10);
  HttpReply reply;
  std::string error;
  PostForm(endpoint, KxrProtocol::kSignOutPath, "", reply, error);
}

SignalsEndTheRun::SignalsEndTheRun() {
  struct sigaction note {};
  note.sa_handler = NoteStopSignal;
  note.sa_flags = SA_RESETHAND | SA_RESTART;
  sigemptyset(&note.sa_mask);
  for (std::size_t i = 0; i < std::size(kEndSignals); ++i) {
    sigaction(kEndSignals[i], nullptr, &saved_[i]);
    if (saved_[i].sa_handler != SIG_IGN) sigaction(kEndSignals[i], &note, nullptr);
  }
}

int SignalsEndTheRun::Release() {
  if (released_) return 0;
  released_ = true;
  for (std::size_t i = 0; i < std::size(kEndSignals); ++i) sigaction(kEndSignals[i], &saved_[i], nullptr);
  const int signal = gStopSignal;
  gStopSignal = 0;
  return signal;
}


}  // namespace KxrCli
