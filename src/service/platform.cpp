// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
#include "platform.h"

#include <syslog.h>
#include <sys/types.h>

#include <cerrno>

#include "Settings.h"

namespace Platform {

struct pidfh* pfh = nullptr;

bool OpenPidFile() {
  pid_t otherPid = 0;
  pfh = pidfile_open(KxrSettings::kPidFile, KxrSettings::kPidFileMode, &otherPid);
  if (pfh != nullptr) return true;
  if (errno == EEXIST) {
    syslog(LOG_NOTICE, "KXRWebServer is already running!");
    return false;
  }
  // Without a pid file the service still runs, only unguarded against a second instance.
  syslog(LOG_WARNING, "CDaemon: Cannot create pidfile!");
  return true;
}

void WritePidFile() {
  if (pfh != nullptr) pidfile_write(pfh);
}

void DeletePidFile() {
  if (pfh == nullptr) return;
  if (pidfile_remove(pfh) < 0) syslog(LOG_NOTICE, "CDaemon: pidfile_remove failed: %d", errno);
  pfh = nullptr;
}

}  // namespace Platform
