// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The whole run of kxr-cli, apart from the process: arguments in, text and
// exit status out.
#pragma once

#include <sys/types.h>

#include <ostream>
#include <string>
#include <vector>

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

// The caller's uid (getuid): root needs no sign-in on the daemon's socket.
extern uid_t (*gCallerUid)();

// Ends a run without result: the message on err after the program's name, or
// with json as the one document {"error":...} on out; returns status.
int StopRun(const std::string& program, bool json, int status, const std::string& message, std::ostream& out,
            std::ostream& err);

// Runs one invocation: args are argv[1..]; results go to out, messages to err.
int Run(const std::string& program, const std::vector<std::string>& args, const std::string& defaultSocket,
        std::ostream& out, std::ostream& err);

}  // namespace KxrCli
