// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Makes the process a single-instance background service with a pid file.
#pragma once

namespace KXRWebservice {

// Claims the pid file and detaches the process; removes the pid file when it goes.
class CDaemon {
 public:
  CDaemon() = default;
  // Removes the held pid file.
  ~CDaemon();
  CDaemon(const CDaemon&) = delete;
  CDaemon& operator=(const CDaemon&) = delete;

  // Claims the pid file and, if doFork, detaches; false means the start is refused.
  bool Start(bool doFork);
};

}  // namespace KXRWebservice
