// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// `kxr-cli read` and `kxr-cli write`: the entries of the command line in one
// call, and one line (or one JSON document) for what each got.
#pragma once

#include <ostream>
#include <string>

#include "CliArgs.h"
#include "CliTransport.h"

namespace KxrCli {

// Makes the call over the endpoint and reports it; the run's exit status.
int RunReadWrite(const std::string& program, const Invocation& invocation, const Endpoint& endpoint,
                 std::ostream& out, std::ostream& err);

// --print-call: the request body on out, exactly as it would be sent.
int PrintCall(const std::string& program, const Invocation& invocation, std::ostream& out, std::ostream& err);

}  // namespace KxrCli
