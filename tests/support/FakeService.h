// An in-process fake of the device-profile service for tests: it listens on a
// Unix-domain socket, serves one connection at a time on its own thread,
// records every request message byte for byte and answers each with whatever
// the test's handler returns. Helpers build answers and read requests.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Settings.h"

namespace kxrtest {

// Little-endian encodings, for building expected requests and answers.
std::string Le16(uint16_t v);
std::string Le32(uint32_t v);
std::string Le64(uint64_t v);

// A framed answer: the 4-byte length of payload, then payload.
std::string Answer(const std::string& payload);
// The 18-byte head of an entry-access record: kind 0, index, flags, sub-index,
// status, data length.
std::string EntryHead(uint64_t status, uint32_t length, uint16_t index = 0, uint8_t subIndex = 0, uint8_t flags = 0);
// A framed entry-access answer: the head with status and data's length, then data.
std::string EntryAnswer(uint64_t status, const std::string& data, uint16_t index = 0, uint8_t subIndex = 0,
                        uint8_t flags = 0);

// An entry-access request taken apart: a write record in the input area, a
// read record in the output area, or both.
struct EntryRequest {
  uint16_t index = 0;
  uint8_t subIndex = 0;
  uint8_t flags = 0;
  bool hasWrite = false;
  std::string writeData;  // the bytes behind the write record's head
  bool hasRead = false;
  uint32_t readLength = 0;  // bytes wanted by the read record
};
// False when message is not a well-formed entry-access request.
bool ParseEntryRequest(const std::string& message, EntryRequest& out);

// Creates the directories above path (like mkdir -p of its parent).
bool MakeParentDirs(const std::string& path);
// Leaves a socket file at path with nothing listening: connect gets ECONNREFUSED.
bool MakeDeadSocket(const std::string& path = KxrSettings::kServiceSocketPath);

// The fake service. Destruction stops the thread, closes every socket and
// removes the socket file; it never waits for a client.
class FakeService {
 public:
  // Gets one request message (its exact bytes) and returns the raw answer
  // bytes, 4-byte length included; an empty string closes without answering.
  // Whatever is returned is sent and the connection is then closed, so a
  // truncated answer is a connection closed mid-answer.
  using Handler = std::function<std::string(const std::string& request)>;

  // What the fake does with each accepted connection.
  enum class Mode {
    kAnswer,          // read the request, answer with the handler's bytes, close
    kHangBeforeRead,  // read nothing and never answer, until destroyed
    kHangAfterRead,   // read and record the request, never answer, until destroyed
    kShutRead,        // read nothing, shut down reading (the client's send fails), close once the client has gone
  };

  // Binds and listens on path (creating its directory, replacing a stale file).
  explicit FakeService(Handler handler = {}, std::string path = KxrSettings::kServiceSocketPath);
  ~FakeService();
  FakeService(const FakeService&) = delete;
  FakeService& operator=(const FakeService&) = delete;

  // True when the socket is listening; otherwise Error() says why.
  bool Listening() const { return listenFd_ >= 0; }
  // Why the fake could not listen.
  const std::string& Error() const { return error_; }
  // The socket file's current path.
  std::string Path() const;

  // Replaces the handler (used from the next request on).
  void SetHandler(Handler handler);
  // Chooses what to do with the next connections.
  void SetMode(Mode mode) { mode_ = mode; }
  // Sends answers in pieces of pieceBytes with a pause after each piece, so
  // that the client sees short reads; 0 sends each answer at once.
  void SetAnswerPacing(std::size_t pieceBytes, std::chrono::milliseconds pause);
  // Renames the socket file (atomically replacing whatever is at newPath).
  bool MoveTo(const std::string& newPath);

  // Every request received so far, in order (a request cut short by the
  // client is recorded as far as it came).
  std::vector<std::string> Requests() const;
  // Number of requests recorded so far.
  std::size_t RequestCount() const;
  // Number of connections accepted so far.
  std::size_t Connections() const { return connections_; }
  // Waits until at least n connections have been accepted; false on timeout.
  bool WaitForConnections(std::size_t n, std::chrono::milliseconds timeout) const;

 private:
  void Run();
  void Serve(int fd);
  // Reads exactly size bytes into out (appending); false on end of stream or stop.
  bool ReadExactly(int fd, std::size_t size, std::string& out);
  // Sends data, paced as configured; false on failure or stop.
  bool SendAnswer(int fd, const std::string& data);
  // Waits until fd is ready for events or the fake stops; false on stop or timeout.
  bool WaitFor(int fd, short events, int timeoutMs = -1);
  // Waits for the stop signal, at most timeoutMs (-1: for ever); true when stopping.
  bool WaitForStop(int timeoutMs);

  mutable std::mutex mutex_;
  Handler handler_;
  std::string path_;
  std::string error_;
  std::vector<std::string> requests_;
  std::size_t pieceBytes_ = 0;
  std::chrono::milliseconds pause_{0};
  std::atomic<Mode> mode_{Mode::kAnswer};
  std::atomic<std::size_t> connections_{0};
  int listenFd_ = -1;
  int wakeFds_[2] = {-1, -1};
  std::thread thread_;
};

// A small in-memory object dictionary whose handler answers entry accesses
// like a well-behaved service: a read answers the stored bytes with status 0,
// or their first bytes with 0xECA60102 when fewer are wanted; a write of the
// entry's size stores the bytes. Thread-safe.
class FakeDictionary {
 public:
  static constexpr uint32_t kNoEntry = 0xECA60301u;      // no such index or sub-index
  static constexpr uint32_t kWrongLength = 0xECA60302u;  // write length differs from the entry's size
  static constexpr uint32_t kReadOnly = 0xECA60303u;     // write to a read-only entry
  static constexpr uint32_t kBadRequest = 0xECA60304u;   // malformed entry-access request

  // Creates or replaces an entry; its size is bytes.size().
  void Set(uint16_t index, uint8_t subIndex, std::string bytes, bool readOnly = false);
  // The stored bytes of an entry; false when there is none.
  bool Get(uint16_t index, uint8_t subIndex, std::string& bytes) const;
  // A handler for FakeService; the dictionary must outlive the service.
  FakeService::Handler Handler();
  // Answers one request message (what Handler() calls).
  std::string Serve(const std::string& request);

 private:
  struct Entry {
    std::string bytes;
    bool readOnly = false;
  };
  mutable std::mutex mutex_;
  std::map<std::pair<uint16_t, uint8_t>, Entry> entries_;
};

}  // namespace kxrtest
