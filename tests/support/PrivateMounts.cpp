#include "PrivateMounts.h"

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kxrtest {

namespace {
std::string gUnavailable = "the test main did not enter the private namespace";

std::string ErrnoText(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}
}  // namespace

bool MountTmpfs(const std::string& path, std::string& why) {
  if (::mount("tmpfs", path.c_str(), "tmpfs", 0, "mode=0755") != 0) {
    why = ErrnoText(("mount tmpfs on " + path).c_str());
    return false;
  }
  return true;
}

bool BindMount(const std::string& from, const std::string& to, std::string& why) {
  if (::mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    why = ErrnoText(("bind " + from + " over " + to).c_str());
    return false;
  }
  return true;
}

bool EnterPrivateRun(std::string& why) {
  if (::geteuid() != 0) {
    why = "not running as root";
    return false;
  }
  if (::unshare(CLONE_NEWNS) != 0) {
    why = ErrnoText("unshare(CLONE_NEWNS)");
    return false;
  }
  // Without this, mounts made here would propagate back to the host.
  if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    why = ErrnoText("make / private");
    return false;
  }
  return MountTmpfs("/run", why);
}

const std::string& PrivateRunUnavailable() { return gUnavailable; }

void SetPrivateRunUnavailable(const std::string& why) { gUnavailable = why; }

}  // namespace kxrtest
