// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The process-wide verbose flag, set once at start-up from the command line.
#pragma once

namespace KXRWebservice {

// True when the diagnostic syslog messages are wanted.
inline bool v = false;

}  // namespace KXRWebservice
