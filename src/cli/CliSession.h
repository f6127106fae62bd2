// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The session of a run: signed in once, signed out at the end, whatever
// ended the command, a signal included.
#pragma once

#include <csignal>
#include <iterator>
#include <string>

#include "CliTransport.h"

namespace KxrCli {

// Signs in at the endpoint for the run; its cookie then goes with every
// request. The password is wiped once sent; a refusal names the user only.
int SignIn(Endpoint& endpoint, const std::string& login, std::string& password, std::string& error);

// Ends the run's session, best effort: after a failed command too, within a
// short wait, and without changing the run's outcome.
void SignOut(Endpoint endpoint);

// While a session is open, SIGINT, SIGTERM and SIGHUP end the run rather
// than the process: the exchange under way gives up, the session is signed
// out, and then the signal ends the process as it would have. A second
// signal ends it at once; an ignored one (nohup) stays ignored.
inline constexpr int kEndSignals[] = {SIGINT, SIGTERM, SIGHUP};

class SignalsEndTheRun {
 public:
  SignalsEndTheRun();
  ~SignalsEndTheRun() { Release(); }
  // Gives the handlers back; the signal that came meanwhile, 0 for none.
  int Release();

 private:
  struct sigaction saved_[std::size(kEndSignals)] {};
  bool released_ = false;
};

}  // namespace KxrCli
