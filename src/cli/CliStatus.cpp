// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The end of a run without result.
#include "CliStatus.h"

#include "CliJson.h"

namespace KxrCli {

int StopRun(const std::string& program, bool json, int status, const std::string& message, std::ostream& out,
            std::ostream& err) {
  if (json)
    out << JsonError(message);
  else
    err << program << ": " << message << "\n";
  return status;
}

}  // namespace KxrCli
