// The process-wide verbose flag, set once at start-up from the command line.
#pragma once

namespace KXRWebservice {

// True when the diagnostic syslog messages are wanted.
inline bool v = false;

}  // namespace KXRWebservice
