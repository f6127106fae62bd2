// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// An in-process fake of the device-profile service: one connection at a time on its own thread, every request
// recorded byte for byte, answered with the handler's bytes (the simulator's dictionary, or scripted); and the
// building blocks of the service's messages and of sum-up calls.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CliCall.h"
#include "Protocol.h"
#include "ResultCodes.h"
#include "ServiceSim.h"
#include "Settings.h"

namespace KxrTest {

inline std::string Le(uint64_t v, int width) { std::string b; KxrProtocol::AppendLe(b, v, width); return b; }
inline std::string Le16(uint16_t v) { return Le(v, 2); }
inline std::string Le32(uint32_t v) { return Le(v, 4); }
inline std::string Le64(uint64_t v) { return Le(v, 8); }
// A framed answer: the 4-byte length of payload, then payload.
inline std::string Answer(const std::string& payload) { return Le32(static_cast<uint32_t>(payload.size())) + payload; }
// The 18-byte head of an entry-access record (kind 0), and a framed answer of that head and data.
inline std::string EntryHead(uint64_t status, uint32_t length, uint16_t index = 0, uint8_t sub = 0, uint8_t flags = 0) {
  return Le16(0) + Le16(index) + static_cast<char>(flags) + static_cast<char>(sub) + Le64(status) + Le32(length);
}
inline std::string EntryAnswer(uint64_t status, const std::string& data, uint16_t index = 0, uint8_t sub = 0) {
  return Answer(EntryHead(status, static_cast<uint32_t>(data.size()), index, sub) + data);
}
// A 12-byte sub-request header, and the 8-byte record of one read sub-request (result code, bytes delivered).
inline std::string Header(uint16_t index, uint8_t subIndex, uint32_t length, uint8_t flags = 0, uint32_t group = 0) {
  std::string b;
  return KxrProtocol::AppendHeader(b, KxrProtocol::SubRequestHeader{group, subIndex, flags, index, length}), b;
}
inline std::string Record(uint32_t code, uint32_t length) {
  std::string b;
  return KxrProtocol::AppendRecord(b, KxrProtocol::ResultRecord{code, length}), b;
}
// A ReadWrite envelope as kxr-cli lays it out; pwrData is the Base64 text as given.
inline std::string ReadWriteCall(int group, int count, int cbRdLen, const std::string& pwrData) {
  return KxrCli::ReadWriteEnvelope(group, count, cbRdLen, pwrData);
}

// Leaves a socket file at the service socket path with nothing listening: connect gets ECONNREFUSED.
bool MakeDeadSocket();

// Destruction stops the thread and removes the socket file; it never waits for a client.
class FakeService {
 public:
  // The raw answer to one request, sent before closing (cut short: closed mid-answer; empty: no answer).
  using Handler = std::function<std::string(const std::string& request)>;
  enum class Mode {
    kAnswer,          // read the request, answer with the handler's bytes, close
    kPaced,           // the same, a byte at a time with a pause after each (short reads for the client)
    kSlowRead,        // the same, reading the request 4 KiB at a time with a pause after each (the client's send blocks)
    kHangBeforeRead,  // read nothing and never answer
    kShutRead,        // shut down reading (the client's send fails), close once the client has gone
  };

  explicit FakeService(Handler handler = {});
  // Answers from the simulator's dictionary, which must outlive the fake.
  explicit FakeService(KxrSim::Dictionary& dict) : FakeService([&dict](const std::string& r) { return dict.Answer(r); }) {}
  ~FakeService();
  FakeService(const FakeService&) = delete;
  FakeService& operator=(const FakeService&) = delete;

  bool Listening() const { return listenFd_ >= 0; }
  void SetMode(Mode mode) { mode_ = mode; }
  std::vector<std::string> Requests() const;
  std::size_t RequestCount() const { return Requests().size(); }

 private:
  void Serve(int fd);
  bool Transfer(int fd, bool send, std::string& data, std::size_t size);
  bool WaitFor(int fd, short events, int timeoutMs = -1);

  mutable std::mutex mutex_;
  Handler handler_;
  std::vector<std::string> requests_;
  std::atomic<Mode> mode_{Mode::kAnswer};
  int listenFd_ = -1;
  int wakeFds_[2] = {-1, -1};
  std::thread thread_;
};

}  // namespace KxrTest

