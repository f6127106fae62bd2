// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// read and write.
#include "CliReadWrite.h"

#include "CliExchange.h"
#include "CliJson.h"
#include "CliReport.h"
#include "CliStatus.h"

namespace KxrCli {

int RunReadWrite(const std::string& program, const Invocation& invocation, const Endpoint& endpoint,
                 std::ostream& out, std::ostream& err) {
  const bool json = invocation.json;
  const bool write = invocation.command == Invocation::Command::kWrite;
  std::vector<EntryResult> outcomes;
  std::string error;
  Answer fault;
  if (const int status = CallBatch(endpoint, write, invocation.entries, outcomes, error, &fault)) {
    if (json && fault.kind == Answer::Kind::kFault) {
      out << JsonFault(fault.faultCode, fault.faultString);
      return status;
    }
    return StopRun(program, json, status, error, out, err);
  }
  int status = kExitOk;
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    if (!json) out << FormatEntryLine(write, invocation.entries[i], outcomes[i]) << "\n";
    if (outcomes[i].code != 0) status = kExitFailed;
  }
  if (json) out << JsonEntries(write, invocation.entries, outcomes);
  return status;
}

int PrintCall(const std::string& program, const Invocation& invocation, std::ostream& out, std::ostream& err) {
  std::string document, error;
  if (!CallDocument(invocation.command == Invocation::Command::kWrite, invocation.entries, document, error))
    return StopRun(program, invocation.json, kExitUsage, error, out, err);
  out << document;
  return kExitOk;
}

}  // namespace KxrCli
