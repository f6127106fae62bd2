// Private mount namespace for tests that use the daemon's real fixed paths.
// As root, a test process moves into a mount namespace of its own, so that a
// tmpfs over /run (and whatever else a test mounts) is seen by it and its
// children only; nothing on the host changes.
#pragma once

#include <string>

namespace kxrtest {

// Unshares the mount namespace of this still single-threaded process, makes
// every mount private and mounts a fresh tmpfs over /run. False and a reason
// when that is not possible (not root, no namespaces).
bool EnterPrivateRun(std::string& why);
// Mounts a fresh tmpfs at path, which must exist.
bool MountTmpfs(const std::string& path, std::string& why);
// Bind-mounts from over to (both must exist).
bool BindMount(const std::string& from, const std::string& to, std::string& why);
// Why the private /run is not available; empty when it is.
const std::string& PrivateRunUnavailable();
// Records the reason; used by the test main.
void SetPrivateRunUnavailable(const std::string& why);

}  // namespace kxrtest

// Skips the current test when the private /run could not be entered.
#define KXR_REQUIRE_PRIVATE_RUN()                                               \
  do {                                                                          \
    if (!kxrtest::PrivateRunUnavailable().empty())                              \
      GTEST_SKIP() << "needs root and mount namespaces: "                       \
                   << kxrtest::PrivateRunUnavailable();                         \
  } while (0)
