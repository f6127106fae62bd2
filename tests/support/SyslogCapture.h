// Reads what a process sends to syslog: a datagram socket bound at a path
// (the private /dev/log of a test) and a thread that keeps it drained, so the
// sender never blocks on a full queue.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kxrtest {

// One syslog datagram, "<PRI>Mon DD HH:MM:SS ident[pid]: text".
struct SyslogRecord {
  int priority = -1;  // PRI & 7, e.g. LOG_NOTICE
  int facility = -1;  // PRI >> 3, e.g. 16 for LOG_LOCAL0
  std::string ident;
  pid_t pid = -1;
  std::string text;
};

// Splits one datagram; false if it does not have the form above.
bool ParseSyslogDatagram(const std::string& raw, SyslogRecord& out);

// Collects every datagram sent to its socket, in arrival order.
class SyslogCapture {
 public:
  SyslogCapture() = default;
  ~SyslogCapture();
  SyslogCapture(const SyslogCapture&) = delete;
  SyslogCapture& operator=(const SyslogCapture&) = delete;

  // Binds the socket at path (which must not exist) and starts draining it.
  bool Open(const std::string& path, std::string& why);
  // Stops the reader and closes the socket; the path is left as it is.
  void Close();
  // Waits until every datagram sent before this call has been collected.
  bool Sync(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // What has been collected so far.
  std::vector<SyslogRecord> Records() const;
  // Just the texts, in order.
  std::vector<std::string> Texts() const;
  // Waits until a record with exactly this text has arrived; true and a copy
  // of it in found (if given) when it did.
  bool WaitForText(const std::string& text, std::chrono::milliseconds timeout,
                   SyslogRecord* found = nullptr);
  // Forgets what has been collected.
  void Clear();

 private:
  void Drain();  // reader thread

  int mFd = -1;                 // bound datagram socket
  std::string mPath;            // where it is bound
  std::thread mReader;          // runs Drain
  bool mStop = false;           // asks the reader to end
  unsigned mSyncSent = 0;       // markers sent by Sync
  unsigned mSyncSeen = 0;       // markers the reader has seen
  std::vector<SyslogRecord> mRecords;
  mutable std::mutex mMutex;    // guards the fields above
  std::condition_variable mChanged;
};

}  // namespace kxrtest
