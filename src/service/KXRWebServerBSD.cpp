// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The daemon's life: command line, syslog, pid file, the listening socket,
// the worker pool and the event loop on the main thread.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <chrono>
#include <list>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/socket_base.hpp>

#include "CDaemon.h"
#include "PxoSyncWrap.h"
#include "Settings.h"
#include "http_worker.h"
#include "Verbose.h"

namespace {

using boost::asio::local::stream_protocol;

// Words that switch on verbose mode.
const std::string kVerboseOptions[] = {"-verbose", "-v", "/verbose", "/v"};
// Words that keep the process in the foreground.
const std::string kNoForkOptions[] = {"-nofork", "-nof", "/nofork", "/nof"};

// Whether any argument, the program name included, equals one of the words.
bool HasOption(int argc, char* argv[], const std::string (&words)[4]) {
  for (int i = 0; i < argc; ++i)
    for (const std::string& word : words)
      if (argv[i] != nullptr && word == argv[i]) return true;
  return false;
}

// Writes the fixed settings in verbose mode.
void LogSettings() {
  if (!KXRWebservice::v) return;
  syslog(LOG_NOTICE, "Main: -Verbose Mode: Enabled");
  syslog(LOG_NOTICE, "socket: %s", KxrSettings::kSocketPath);
  syslog(LOG_NOTICE, "root: %s", KxrSettings::kDocRoot);
  syslog(LOG_NOTICE, "num_workers: %d", KxrSettings::kNumWorkers);
  syslog(LOG_NOTICE, "spin: %d", KxrSettings::kSpin ? 1 : 0);
}

// Opens, binds and listens; the library throws with the failing step's name.
void Listen(stream_protocol::acceptor& acceptor) {
  const stream_protocol::endpoint endpoint(KxrSettings::kSocketPath);
  acceptor.open(endpoint.protocol());
  acceptor.set_option(boost::asio::socket_base::reuse_address(true));
  acceptor.bind(endpoint);
  acceptor.listen(KxrSettings::kListenBacklog);
}

// Drives the event loop; returns only when no work is left.
void RunEventLoop(boost::asio::io_context& ioc) {
  if (!KxrSettings::kSpin) {
    ioc.run();
    return;
  }
  for (;;) ioc.poll();
}

}  // namespace

// True if verbose mode is asked for on the command line.
bool GetVerboseModeEnabled(int argc, char* argv[]) { return HasOption(argc, argv, kVerboseOptions); }

// False if the process is to stay in the foreground.
bool GetDoFork(int argc, char* argv[]) { return !HasOption(argc, argv, kNoForkOptions); }

namespace {

// Empties the directory if it is the daemon's own: a real directory (not a
// link) owned by the effective user. Its mode is set to the socket
// directory's. 1 emptied, 0 not the daemon's own (untouched), -1 failed.
int EmptyOwnDirectory(const std::string& dir) {
  std::string path = dir;
  while (path.size() > 1 && path.back() == '/') path.pop_back();  // a slash would follow a link
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return 0;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
    close(fd);
    return 0;
  }
  DIR* entries = fdopendir(fd);
  if (entries == nullptr) {
    close(fd);
    return -1;
  }
  int emptied = fchmod(fd, KxrSettings::kSocketDirMode) == 0 ? 1 : -1;
  while (const struct dirent* entry = readdir(entries)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (unlinkat(fd, entry->d_name, 0) != 0 && unlinkat(fd, entry->d_name, AT_REMOVEDIR) != 0) emptied = -1;
  }
  closedir(entries);
  return emptied;
}

}  // namespace

// Removes a socket file and its directory left by an earlier run; 0 or -1.
// A directory that cannot be removed because it is a mount point or its
// parent is closed to the daemon (the runtime directory that systemd makes
// for a daemon without privileges, in a read-only /run) is emptied and kept
// (kept) when it is the daemon's own.
int DeleteSocket(const std::string& socketDir, const std::string& socketName, bool& kept) {
  const std::string socketPath = socketDir + socketName;
  kept = false;
  if (unlink(socketPath.c_str()) != 0 && errno != ENOENT) {
    syslog(LOG_ERR, "Could not delete socket file!");
    return -1;
  }
  if (rmdir(socketDir.c_str()) == 0 || errno == ENOENT) return 0;
  if (errno == EBUSY || errno == EACCES || errno == EPERM || errno == EROFS) {
    const int emptied = EmptyOwnDirectory(socketDir);
    if (emptied < 0) {
      syslog(LOG_ERR, "Could not empty socket directory!");
      return -1;
    }
    kept = emptied > 0;
  }
  if (!kept) {
    syslog(LOG_ERR, "Could not delete socket directory!");
    return -1;
  }
  return 0;
}

// Gives the file to the named group, owner unchanged, unless it has it; 0 or -1.
int ChangeFileGroup(const std::string& filePath, const std::string& groupName) {
  const struct group* entry = getgrnam(groupName.c_str());
  if (entry == nullptr) {
    syslog(LOG_ERR, "Group was not found by name: %s", groupName.c_str());
    return -1;
  }
  // A daemon whose own group it is has nothing to change, and needs no call
  // that its confinement may forbid.
  struct stat st {};
  if (stat(filePath.c_str(), &st) == 0 && st.st_gid == entry->gr_gid) return 0;
  if (chown(filePath.c_str(), static_cast<uid_t>(-1), entry->gr_gid) == -1) {
    syslog(LOG_ERR, "Socket file group could not be changed!");
    return -1;
  }
  return 0;
}

namespace {

#if defined(KXR_SHORT_SESSIONS)
// The tests' daemon: sessions that end within seconds.
constexpr auto kSessionIdle = KxrSettings::kShortSessionIdle;
constexpr auto kSessionLimit = KxrSettings::kShortSessionLimit;
#else
constexpr auto kSessionIdle = KxrSettings::kSessionIdle;
constexpr auto kSessionLimit = KxrSettings::kSessionLimit;
#endif

// Everything after syslog is open; returns the exit status. Exceptions go to
// main's guard after the locals, the daemon object last, are gone.
int Serve(int argc, char* argv[]) {
  KXRWebservice::CDaemon daemon;
  if (!daemon.Start(GetDoFork(argc, argv))) return 1;
  // Files go to a client by a call that has no flag against SIGPIPE: a
  // client that leaves early must end its connection, not the daemon.
  ::signal(SIGPIPE, SIG_IGN);
  bool kept = false;
  if (DeleteSocket(KxrSettings::kSocketDir, KxrSettings::kSocketName, kept) != 0) return 1;
  syslog(LOG_NOTICE, "KXRWebServer started.");
  LogSettings();
  if (!kept && mkdir(KxrSettings::kSocketDir, KxrSettings::kSocketDirMode) != 0) {
    syslog(LOG_ERR, "Could not create socket directory!");
    return 1;
  }

  // Who may call: read at start, so that a device without users says so now.
  KxrAccess::AccessGate gate(KxrAccess::UserDirectory(KxrSettings::kUsersFile, KxrSettings::kRolesFile),
                             KxrAccess::SessionTable(KxrSettings::kSessionsInAll, KxrSettings::kSessionsPerUser,
                                                     kSessionIdle, kSessionLimit),
                             std::chrono::steady_clock::now());
  // Opened once: every file is opened beneath it.
  const KXRWebservice::DocumentRoot root(KxrSettings::kDocRoot);
  boost::asio::io_context ioc(KxrSettings::kConcurrencyHint);
  stream_protocol::acceptor acceptor(ioc);
  Listen(acceptor);
  if (ChangeFileGroup(KxrSettings::kSocketPath, KxrSettings::kSocketGroup) != 0) return 1;
  if (chmod(KxrSettings::kSocketPath, KxrSettings::kSocketFileMode) != 0) {
    syslog(LOG_ERR, "Failed to set unix socket file permissions!");
    return 1;
  }
  if (pthread_mutex_init(&KXRWebservice::http_worker::mLock, nullptr) != 0) {
    syslog(LOG_ERR, "Could not init mutex!");
    return 1;
  }

  // An automation library absent now is not looked for again by any call.
  ProbePxoLibrary();

  // The workers take their connections from the listener; a list keeps
  // every worker at one address for its whole life.
  KXRWebservice::HttpListener listener(acceptor);
  std::list<KXRWebservice::http_worker> workers;
  for (int i = 0; i < KxrSettings::kNumWorkers; ++i) workers.emplace_back(listener, root, gate).start();
  if (KXRWebservice::v) syslog(LOG_NOTICE, "listening...");

  RunEventLoop(ioc);

  pthread_mutex_destroy(&KXRWebservice::http_worker::mLock);
  DeleteSocket(KxrSettings::kSocketDir, KxrSettings::kSocketName, kept);
  closelog();
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  KXRWebservice::v = GetVerboseModeEnabled(argc, argv);
  try {
    openlog(KxrSettings::kSyslogIdent, LOG_PID | LOG_CONS | LOG_NDELAY | LOG_NOWAIT, LOG_LOCAL0);
    return Serve(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Error: %s\n", e.what());
    return 1;
  }
}
