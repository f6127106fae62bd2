// Runs the real daemon inside the test process's private mount namespace
// (see PrivateMounts.h) with everything it touches made private:
//  - /dev is replaced by a directory holding null, zero, urandom and a log
//    socket, so that what the daemon sends to syslog can be read back;
//  - /etc/group is a private copy, with or without the socket group;
//  - a tmpfs lies over the document root (or over its deepest existing
//    ancestor, the rest being created inside it);
//  - /run (and so /var/run) is the private tmpfs of the test main.
// Nothing on the host is created or changed. The test process becomes the
// reaper of the daemons it starts, also of those that detach themselves.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "SyslogCapture.h"

namespace kxrtest {

// How one start went.
struct DaemonStart {
  pid_t launched = -1;          // the process the harness started
  bool launchedExited = false;  // it has ended (in fork mode: once detached)
  int launchedStatus = -1;      // its wait status when it has ended
  pid_t serving = -1;           // the process that serves: launched, or the detached one
  bool ready = false;           // the socket accepts and has its final mode
};

// How to start the daemon.
struct StartOptions {
  std::string argv0;  // program name given to the daemon; its path when empty
  mode_t umask = 022;
  std::vector<std::string> environment;  // NAME=value added to the test's own
  std::chrono::milliseconds timeout{10000};  // for readiness or exit
};

// The private environment and the daemons started in it.
class DaemonHarness {
 public:
  // executable: path of the daemon to run.
  explicit DaemonHarness(std::string executable);
  // Stops every daemon still running.
  ~DaemonHarness();
  DaemonHarness(const DaemonHarness&) = delete;
  DaemonHarness& operator=(const DaemonHarness&) = delete;

  // Builds the private environment (once per process), then Reset().
  bool Prepare(std::string& why);
  // Stops all daemons and gives the next test a clean state: empty /run,
  // empty document root, the socket group present, no syslog records.
  bool Reset(std::string& why);

  // Writes the private /etc/group with or without the socket group.
  bool SetGroupPresent(bool present, std::string& why);
  // Id of the socket group in the private /etc/group.
  gid_t GroupId() const;
  // Makes /run read-only (or writable again) for this namespace only.
  bool SetRunReadOnly(bool readOnly, std::string& why);

  // Full path of a file below the document root ("a/b.htm" or "/a/b.htm").
  static std::string DocPath(const std::string& relative);
  // Writes a file below the document root, creating its directories.
  bool PutFile(const std::string& relative, const std::string& content, std::string& why);
  // Creates a directory (and its parents) below the document root.
  bool MakeDir(const std::string& relative, std::string& why);

  // Starts the daemon with args (argv[1..]) and waits until it serves or the
  // started process has ended. In fork mode the started process ends with 0
  // and the detached one, named by the pid file, serves.
  DaemonStart Start(const std::vector<std::string>& args, const StartOptions& options = {});
  // Waits for a child to end and reaps it; false on timeout.
  bool WaitExit(pid_t pid, std::chrono::milliseconds timeout, int& status);
  // Sends sig to a child and reaps it; false if it did not end in time.
  bool Kill(pid_t pid, int sig, int& status);
  // Kills and reaps every child of the test process.
  void StopAll();
  // Standard output and error of a started process, as far as written.
  std::string Output(pid_t launched) const;
  // Whether a process with this pid exists (a reaped child does not).
  static bool Alive(pid_t pid);

  // What the daemon has sent to syslog.
  SyslogCapture& Syslog();

  // The daemon's fixed paths.
  static std::string SocketPath();
  static std::string SocketDir();  // without trailing slash
  static std::string PidFilePath();

 private:
  std::string mExecutable;                  // daemon to run
  std::map<pid_t, std::string> mOutputs;    // started pid -> output file
  unsigned mOutputCount = 0;                // numbers the output files
};

}  // namespace kxrtest
