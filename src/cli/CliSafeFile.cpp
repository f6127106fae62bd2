// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The temporary file, its fsync and the signals that must not leave it behind.
#include "CliSafeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <iterator>

namespace KxrCli {

int (*gFsync)(int) = ::fsync;

namespace {

// The temporary file of the save under way, for the handler of the signals
// that cut a save short (Ctrl-C, SIGTERM, SIGHUP): it removes the file and
// hands the signal on to what it did before: the default ends the process
// as it would have without the handler, a run with a session signs out first.
constexpr int kCutSignals[] = {SIGINT, SIGTERM, SIGHUP};
char gTempName[PATH_MAX];
volatile sig_atomic_t gTempSet = 0;
struct sigaction gCutSaved[std::size(kCutSignals)];

extern "C" void RemoveTempAndPassOn(int signal) {
  if (gTempSet) ::unlink(gTempName);
  gTempSet = 0;
  for (std::size_t i = 0; i < std::size(kCutSignals); ++i)
    if (kCutSignals[i] == signal) ::sigaction(signal, &gCutSaved[i], nullptr);
  ::raise(signal);  // delivered when the handler returns
}

}  // namespace

bool AtomicFile::Open(const std::string& target, std::string& error) {
  target_ = target;
  const std::string::size_type slash = target.rfind('/');
  dir_ = slash == std::string::npos ? "." : target.substr(0, slash + 1);
  std::string name = (slash == std::string::npos ? "" : dir_) + "." + target.substr(slash + 1) + ".XXXXXX";
  if (name.size() >= sizeof gTempName) return Fail("cannot write " + target + ": the name is too long", error);
  // The signals wait while the name is made and handed to the handler.
  sigset_t cut, old;
  ::sigemptyset(&cut);
  for (int signal : kCutSignals) ::sigaddset(&cut, signal);
  ::sigprocmask(SIG_BLOCK, &cut, &old);
  fd_ = ::mkstemp(name.data());
  const int made = errno;
  if (fd_ >= 0) {
    temp_ = name;
    std::memcpy(gTempName, name.c_str(), name.size() + 1);
    gTempSet = 1;
    struct sigaction remove {};
    remove.sa_handler = RemoveTempAndPassOn;
    ::sigemptyset(&remove.sa_mask);
    for (std::size_t i = 0; i < std::size(kCutSignals); ++i) {
      ::sigaction(kCutSignals[i], nullptr, &gCutSaved[i]);
      if (gCutSaved[i].sa_handler != SIG_IGN) ::sigaction(kCutSignals[i], &remove, nullptr);  // nohup stays nohup
    }
    handlers_ = true;
  }
  ::sigprocmask(SIG_SETMASK, &old, nullptr);
  if (fd_ < 0) return Fail("cannot write " + target + ": " + std::strerror(made), error);
  struct stat existing {};
  if (::stat(target.c_str(), &existing) == 0 && existing.st_uid == ::geteuid() &&
      ::fchmod(fd_, existing.st_mode & 0755) != 0)
    return Fail("cannot keep the mode of " + target + ": " + std::strerror(errno), error);
  return true;
}

bool AtomicFile::Commit(const std::string& text, std::string& error) {
  const std::string cannot = "cannot write " + target_ + ": ";
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail(cannot + (n < 0 ? std::strerror(errno) : "nothing written"), error);
    done += static_cast<std::size_t>(n);
  }
  if (gFsync(fd_) != 0) return Fail(cannot + std::strerror(errno), error);
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) return Fail(cannot + std::strerror(errno), error);
  if (::rename(temp_.c_str(), target_.c_str()) != 0)
    return Fail("cannot rename to " + target_ + ": " + std::strerror(errno), error);
  temp_.clear();
  Discard();
  // The rename itself reaches the disk with the directory.
  const int dir = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return Fail("cannot sync the directory of " + target_ + ": " + std::strerror(errno), error);
  const bool synced = gFsync(dir) == 0;
  const int why = errno;
  ::close(dir);
  return synced || Fail("cannot sync the directory of " + target_ + ": " + std::strerror(why), error);
}

void AtomicFile::Discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
  gTempSet = 0;
  if (handlers_)
    for (std::size_t i = 0; i < std::size(kCutSignals); ++i) ::sigaction(kCutSignals[i], &gCutSaved[i], nullptr);
  handlers_ = false;
}

}  // namespace KxrCli
