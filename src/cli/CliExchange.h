// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// One exchange with the daemon, from request to exit status: every command
// makes its calls through here, so that an HTTP status, a fault or a
// malformed answer means the same status and message for each of them.
#pragma once

#include <string>
#include <vector>

#include "CliArgs.h"
#include "CliCall.h"
#include "CliTransport.h"

namespace KxrCli {

// The exit status of an HTTP answer other than 200 to a request for target,
// and a message that names the status and, for those a user can act on,
// what to do.
int HttpFailure(const Endpoint& endpoint, const std::string& target, const HttpReply& reply, std::string& error);

// The request body of the batch's call; false and why when the daemon
// would refuse it as too large.
bool CallDocument(bool write, const std::vector<EntryArg>& batch, std::string& document, std::string& error);

// One ReadWrite call of the batch over the endpoint: 0 and the outcome of
// each entry, or the exit status and why; a fault's answer also in *fault.
int CallBatch(const Endpoint& endpoint, bool write, const std::vector<EntryArg>& batch,
              std::vector<EntryResult>& outcomes, std::string& error, Answer* fault = nullptr);

// The daemon's /dictionary.json: 0 and its text, or the exit status and
// why; source names where it was asked for.
int GetDictionary(const Endpoint& endpoint, std::string& text, std::string& source, std::string& error);

}  // namespace KxrCli
