// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
#include "CDaemon.h"

#include <syslog.h>
#include <unistd.h>

#include "platform.h"
#include "Verbose.h"

namespace KXRWebservice {

CDaemon::~CDaemon() { Platform::DeletePidFile(); }

bool CDaemon::Start(bool doFork) {
  // The pid file is claimed before the fork, so a second instance is refused
  // in the process that was started, with its exit status.
  if (!Platform::OpenPidFile()) return false;
  if (doFork) {
    if (v) syslog(LOG_NOTICE, "CDaemon: Do fork");
    if (daemon(0, 0) < 0) {
      syslog(LOG_ERR, "Could not daemonize!");
      return false;
    }
    Platform::WritePidFile();
  } else if (v) {
    syslog(LOG_NOTICE, "CDaemon: Do NOT fork");
  }
  if (v) syslog(LOG_NOTICE, "CDaemon: Daemon started");
  return true;
}

}  // namespace KXRWebservice
