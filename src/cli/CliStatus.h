// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// How a run of kxr-cli ends: its exit statuses, and the one way to end it
// without a result.
#pragma once

#include <ostream>
#include <string>

namespace KxrCli {

// Exit statuses.
enum ExitStatus : int {
  kExitOk = 0,         // the call and every sub-request succeeded
  kExitFailed = 1,     // a sub-request failed, or the call was answered with a fault
  kExitUsage = 2,      // bad arguments
  kExitNoAnswer = 3,   // no usable answer: connection, timeout, TLS, HTTP status, format
  kExitSignIn = 4,     // the sign-in was refused, or is needed and was not given
  kExitDenied = 5,     // the daemon refused the call to this user (fault AccessDenied)
};

// Ends a run without result: the message on err after the program's name, or
// with json as the one document {"error":...} on out; returns status.
int StopRun(const std::string& program, bool json, int status, const std::string& message, std::ostream& out,
            std::ostream& err);

}  // namespace KxrCli
