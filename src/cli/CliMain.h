// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The whole run of kxr-cli, apart from the process: arguments in, text and
// exit status out.
#pragma once

#include <sys/types.h>

#include <ostream>
#include <string>
#include <vector>

#include "CliStatus.h"

namespace KxrCli {

// The caller's uid (getuid): root needs no sign-in on the daemon's socket.
extern uid_t (*gCallerUid)();

// Runs one invocation: args are argv[1..]; results go to out, messages to err.
int Run(const std::string& program, const std::vector<std::string>& args, const std::string& defaultSocket,
        std::ostream& out, std::ostream& err);

}  // namespace KxrCli
