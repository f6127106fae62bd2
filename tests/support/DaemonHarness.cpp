#include "DaemonHarness.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "PrivateMounts.h"
#include "Settings.h"
#include "UnixHttp.h"

namespace kxrtest {

namespace fs = std::filesystem;

namespace {
using Clock = std::chrono::steady_clock;

// Private working directory of the harness, a tmpfs of its own inside the
// private /run; Reset leaves it alone.
const char kHarnessDir[] = "/run/.kxr-harness";

// What Prepare builds once per process.
struct Environment {
  bool prepared = false;
  std::string docMount;                  // where the document root's tmpfs lies
  std::vector<std::string> groupLines;   // the host's /etc/group without the socket group
  gid_t groupId = 0;                     // id given to the socket group
  SyslogCapture syslog;
};

Environment& Env() {
  static Environment env;
  return env;
}

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

std::string HarnessPath(const std::string& name) { return std::string(kHarnessDir) + "/" + name; }

bool WriteFile(const std::string& path, const std::string& content, std::string& why) {
  // Written in place: /etc/group is bound to this very inode.
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  out.close();
  if (!out) {
    why = "cannot write " + path;
    return false;
  }
  return true;
}

bool MakeDirs(const std::string& path, std::string& why) {
  std::error_code ec;
  fs::create_directories(path, ec);
  if (ec) {
    why = "create " + path + ": " + ec.message();
    return false;
  }
  return true;
}

// The deepest directory of path that exists now.
std::string DeepestExisting(const std::string& path) {
  fs::path p(path);
  std::error_code ec;
  while (!p.empty() && p != p.root_path() && !fs::is_directory(p, ec)) p = p.parent_path();
  return p.string();
}

// A fresh tmpfs with the document root's missing directories inside it.
bool MountDocRoot(std::string& why) {
  Environment& env = Env();
  ::umount2(env.docMount.c_str(), MNT_DETACH);
  return MountTmpfs(env.docMount, why) && MakeDirs(KxrSettings::kDocRoot, why);
}

bool SetUpDev(std::string& why) {
  const std::string dev = HarnessPath("dev");
  if (::mkdir(dev.c_str(), 0755) != 0) {
    why = ErrnoText("mkdir " + dev);
    return false;
  }
  for (const char* node : {"null", "zero", "urandom"}) {
    const std::string target = dev + "/" + node;
    const int fd = ::open(target.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0) {
      why = ErrnoText("create " + target);
      return false;
    }
    ::close(fd);
    if (!BindMount(std::string("/dev/") + node, target, why)) return false;
  }
  const std::pair<const char*, const char*> links[] = {
      {"fd", "/proc/self/fd"}, {"stdin", "/proc/self/fd/0"},
      {"stdout", "/proc/self/fd/1"}, {"stderr", "/proc/self/fd/2"}};
  for (const auto& [name, to] : links) ::symlink(to, (dev + "/" + name).c_str());
  if (!Env().syslog.Open(dev + "/log", why)) return false;
  // Recursive, so that the device binds inside come along.
  if (::mount(dev.c_str(), "/dev", nullptr, MS_BIND | MS_REC, nullptr) != 0) {
    why = ErrnoText("bind " + dev + " over /dev");
    return false;
  }
  return true;
}

bool SetUpGroupFile(std::string& why) {
  Environment& env = Env();
  std::ifstream in("/etc/group");
  std::set<gid_t> used;
  const std::string prefix = std::string(KxrSettings::kSocketGroup) + ":";
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, prefix.size(), prefix) == 0) continue;
    std::istringstream fields(line);
    std::string name, password, id;
    std::getline(fields, name, ':');
    std::getline(fields, password, ':');
    std::getline(fields, id, ':');
    used.insert(static_cast<gid_t>(std::strtoul(id.c_str(), nullptr, 10)));
    env.groupLines.push_back(line);
  }
  env.groupId = 4242;
  while (used.count(env.groupId)) ++env.groupId;
  const std::string file = HarnessPath("group");
  return WriteFile(file, "", why) && BindMount(file, "/etc/group", why);
}

bool SetUpDocRoot(std::string& why) {
  Environment& env = Env();
  env.docMount = DeepestExisting(KxrSettings::kDocRoot);
  // A tmpfs there hides what lies below it; never hide the system itself.
  for (const char* vital : {"", "/", "/usr", "/etc", "/dev", "/proc", "/sys", "/lib", "/bin"}) {
    if (env.docMount == vital) {
      why = "refusing to mount a tmpfs over " + env.docMount + " for the document root";
      return false;
    }
  }
  return MountDocRoot(why);
}

// Pids of the test process's children, from every thread's list.
std::vector<pid_t> Children() {
  std::vector<pid_t> pids;
  DIR* tasks = ::opendir("/proc/self/task");
  if (!tasks) return pids;
  while (dirent* task = ::readdir(tasks)) {
    if (task->d_name[0] == '.') continue;
    std::ifstream in(std::string("/proc/self/task/") + task->d_name + "/children");
    for (pid_t pid; in >> pid;) pids.push_back(pid);
  }
  ::closedir(tasks);
  return pids;
}

// Identity of the socket file, 0 when there is none.
ino_t SocketInode() {
  struct stat st;
  return ::stat(DaemonHarness::SocketPath().c_str(), &st) == 0 ? st.st_ino : 0;
}

// Whether a socket file other than the one that was there before (staleInode)
// accepts a connection and has been given its final mode.
bool SocketReady(ino_t staleInode) {
  struct stat st;
  if (::stat(DaemonHarness::SocketPath().c_str(), &st) != 0 || st.st_ino == staleInode ||
      (st.st_mode & 07777) != KxrSettings::kSocketFileMode)
    return false;
  UnixStream probe;
  return probe.Connect(DaemonHarness::SocketPath());
}

// The pid written into the pid file, -1 while there is none.
pid_t PidFromFile() {
  std::ifstream in(DaemonHarness::PidFilePath());
  long pid = -1;
  if (!(in >> pid)) return -1;
  return static_cast<pid_t>(pid);
}
}  // namespace

DaemonHarness::DaemonHarness(std::string executable) : mExecutable(std::move(executable)) {}

DaemonHarness::~DaemonHarness() { StopAll(); }

bool DaemonHarness::Prepare(std::string& why) {
  if (!PrivateRunUnavailable().empty()) {
    why = PrivateRunUnavailable();
    return false;
  }
  Environment& env = Env();
  if (!env.prepared) {
    // Daemons that detach themselves are handed to us, so we can reap them.
    if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
      why = ErrnoText("become child subreaper");
      return false;
    }
    if (::mkdir(kHarnessDir, 0700) != 0 || !MountTmpfs(kHarnessDir, why)) {
      if (why.empty()) why = ErrnoText(std::string("mkdir ") + kHarnessDir);
      return false;
    }
    if (!SetUpDev(why) || !SetUpGroupFile(why) || !SetUpDocRoot(why)) return false;
    env.prepared = true;
  }
  return Reset(why);
}

bool DaemonHarness::Reset(std::string& why) {
  StopAll();
  if (!SetRunReadOnly(false, why)) return false;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/run", ec)) {
    if (entry.path() == kHarnessDir) continue;
    fs::remove_all(entry.path(), ec);
    if (ec) {
      why = "clean " + entry.path().string() + ": " + ec.message();
      return false;
    }
  }
  for (const auto& [pid, file] : mOutputs) ::unlink(file.c_str());
  mOutputs.clear();
  if (!MountDocRoot(why) || !SetGroupPresent(true, why)) return false;
  Syslog().Sync();
  Syslog().Clear();
  return true;
}

bool DaemonHarness::SetGroupPresent(bool present, std::string& why) {
  const Environment& env = Env();
  std::string content;
  for (const auto& line : env.groupLines) content += line + "\n";
  if (present)
    content += std::string(KxrSettings::kSocketGroup) + ":x:" + std::to_string(env.groupId) + ":\n";
  return WriteFile(HarnessPath("group"), content, why);
}

gid_t DaemonHarness::GroupId() const { return Env().groupId; }

bool DaemonHarness::SetRunReadOnly(bool readOnly, std::string& why) {
  // A bind remount changes this mount only, not the tmpfs beneath it.
  const unsigned long flags = MS_REMOUNT | MS_BIND | (readOnly ? MS_RDONLY : 0);
  if (::mount(nullptr, "/run", nullptr, flags, nullptr) != 0) {
    why = ErrnoText("remount /run");
    return false;
  }
  return true;
}

std::string DaemonHarness::DocPath(const std::string& relative) {
  const std::size_t start = relative.find_first_not_of('/');
  return std::string(KxrSettings::kDocRoot) + "/" +
         (start == std::string::npos ? std::string() : relative.substr(start));
}

bool DaemonHarness::PutFile(const std::string& relative, const std::string& content,
                            std::string& why) {
  const std::string path = DocPath(relative);
  return MakeDirs(fs::path(path).parent_path().string(), why) && WriteFile(path, content, why);
}

bool DaemonHarness::MakeDir(const std::string& relative, std::string& why) {
  return MakeDirs(DocPath(relative), why);
}

DaemonStart DaemonHarness::Start(const std::vector<std::string>& args,
                                 const StartOptions& options) {
  DaemonStart result;
  const std::string outputPath = HarnessPath("output-" + std::to_string(++mOutputCount));
  const int outFd = ::open(outputPath.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0600);
  const int nullFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  std::vector<std::string> argvText;
  argvText.push_back(options.argv0.empty() ? mExecutable : options.argv0);
  argvText.insert(argvText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argvText) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envText(options.environment);
  for (char** e = environ; *e != nullptr; ++e) envText.emplace_back(*e);
  std::vector<char*> envp;
  for (auto& e : envText) envp.push_back(e.data());
  envp.push_back(nullptr);

  // A daemon that is already running must not pass for the new one.
  const ino_t staleInode = SocketInode();
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls from here: the test process has threads.
    ::dup2(nullFd, 0);
    ::dup2(outFd, 1);
    ::dup2(outFd, 2);
    ::umask(options.umask);
    ::execve(mExecutable.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  if (outFd >= 0) ::close(outFd);
  if (nullFd >= 0) ::close(nullFd);
  if (pid < 0) return result;
  result.launched = pid;
  mOutputs[pid] = outputPath;

  const auto end = Clock::now() + options.timeout;
  const auto left = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
  };
  while (Clock::now() < end) {
    int status = 0;
    if (!result.launchedExited && ::waitpid(pid, &status, WNOHANG) == pid) {
      result.launchedExited = true;
      result.launchedStatus = status;
      // Anything but a clean exit after detaching is the end of this start.
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return result;
    }
    // A detached daemon writes its pid before it makes the socket; in the
    // foreground the pid file stays empty.
    const pid_t filePid = PidFromFile();
    const bool detached = filePid > 0 && filePid != pid;
    if (SocketReady(staleInode)) {
      result.ready = true;
      if (detached) {
        result.serving = filePid;
        // The started process may not quite have ended yet.
        if (!result.launchedExited && WaitExit(pid, left(), status)) {
          result.launchedExited = true;
          result.launchedStatus = status;
        }
      } else if (!result.launchedExited) {
        result.serving = pid;
      }
      return result;
    }
    if (result.launchedExited && detached && !Alive(filePid)) return result;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return result;
}

bool DaemonHarness::WaitExit(pid_t pid, std::chrono::milliseconds timeout, int& status) {
  const auto end = Clock::now() + timeout;
  do {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return true;
    if (done < 0 && errno == ECHILD) {
      // Not (or no longer) our child: all we can tell is that it is gone.
      status = -1;
      if (!Alive(pid)) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (Clock::now() < end);
  return false;
}

bool DaemonHarness::Kill(pid_t pid, int sig, int& status) {
  if (::kill(pid, sig) != 0 && errno == ESRCH) {
    status = -1;
    return true;
  }
  return WaitExit(pid, std::chrono::seconds(10), status);
}

void DaemonHarness::StopAll() {
  // Repeated: a daemon caught in the middle of detaching leaves us a new child.
  const auto end = Clock::now() + std::chrono::seconds(10);
  for (;;) {
    int status;
    while (::waitpid(-1, &status, WNOHANG) > 0) {
    }
    const std::vector<pid_t> children = Children();
    if (children.empty() || Clock::now() > end) return;
    for (pid_t pid : children) ::kill(pid, SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string DaemonHarness::Output(pid_t launched) const {
  const auto it = mOutputs.find(launched);
  if (it == mOutputs.end()) return {};
  std::ifstream in(it->second, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool DaemonHarness::Alive(pid_t pid) {
  if (::kill(pid, 0) != 0) return false;
  // A zombie is not alive for our purposes.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const std::size_t paren = line.rfind(')');
  return paren == std::string::npos || paren + 2 >= line.size() || line[paren + 2] != 'Z';
}

SyslogCapture& DaemonHarness::Syslog() { return Env().syslog; }

std::string DaemonHarness::SocketPath() { return KxrSettings::kSocketPath; }

std::string DaemonHarness::SocketDir() {
  std::string dir = KxrSettings::kSocketDir;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

std::string DaemonHarness::PidFilePath() { return KxrSettings::kPidFile; }

}  // namespace kxrtest
