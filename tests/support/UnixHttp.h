// Raw HTTP over a Unix-domain stream socket, as a test client sees it: bytes
// go out exactly as given and the whole answer is read until the server
// closes the connection.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kxrtest {

// What came back on one connection.
struct UnixReply {
  bool connected = false; // the connection was made at all
  std::string bytes;      // everything read before the end
  bool closed = false;    // the server closed (end of file or reset)
  bool timedOut = false;  // the connection was still open at the deadline
};

// One client connection; closed by the destructor.
class UnixStream {
 public:
  UnixStream() = default;
  ~UnixStream();
  UnixStream(UnixStream&& other) noexcept;
  UnixStream& operator=(UnixStream&& other) noexcept;
  UnixStream(const UnixStream&) = delete;
  UnixStream& operator=(const UnixStream&) = delete;

  // Connects to the socket at path; false (errno kept) when refused.
  bool Connect(const std::string& path);
  // Writes all bytes; false when the server has gone (no SIGPIPE is raised).
  bool Send(std::string_view bytes);
  // Reads until the server closes or the timeout passes.
  UnixReply ReadUntilClose(std::chrono::milliseconds timeout);
  // Waits up to timeout for anything to read (data or close).
  bool Readable(std::chrono::milliseconds timeout) const;
  // Closes the client end.
  void Close();
  // The descriptor, -1 when closed.
  int Fd() const { return mFd; }

 private:
  int mFd = -1;  // connected socket
};

// Connects, sends the request and reads the answer until the server closes.
UnixReply Exchange(const std::string& path, std::string_view request,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A plain request without a body.
std::string Request(std::string_view method, std::string_view target);
// A request with a body and its Content-Length.
std::string RequestWithBody(std::string_view method, std::string_view target,
                            std::string_view body);

// One parsed answer.
struct HttpAnswer {
  int status = 0;
  std::string reason;
  std::vector<std::pair<std::string, std::string>> fields;  // in wire order
  std::string body;
  // Value of the first field of that name (case-insensitive), empty if none.
  std::string Field(std::string_view name) const;
};

// Parses exactly one HTTP/1.1 answer whose body length is its Content-Length;
// false if the bytes are anything else (truncated, more than one answer, ...).
bool ParseHttpAnswer(const std::string& raw, HttpAnswer& out);

}  // namespace kxrtest
