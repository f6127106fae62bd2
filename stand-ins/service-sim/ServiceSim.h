// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The object dictionary of kxr-service-sim and its answers to the client's
// messages, apart from any socket: the simulator's main serves it on the
// service socket, and the tests' fake service answers from it in-process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace KxrSim {

constexpr std::size_t kHead = 24;               // message head
constexpr std::size_t kMaxMessage = 16u << 20;  // longer messages are refused

// An in-memory object dictionary; thread-safe.
class Dictionary {
 public:
  // Creates or replaces an entry; its size is bytes.size(). A refuseWrite
  // other than 0 is the status every write of the entry is answered with.
  void Set(uint16_t index, uint8_t subIndex, std::string bytes, bool readOnly = false, uint32_t refuseWrite = 0);
  // The stored bytes of an entry; false when there is none.
  bool Get(uint16_t index, uint8_t subIndex, std::string& bytes) const;
  // The name of an object, answered by its description.
  void SetName(uint16_t index, std::string name);
  std::size_t Size() const;
  // The framed answer (4-byte length, then the payload) to one whole message;
  // empty when the message is malformed and the connection is to be closed.
  std::string Answer(const std::string& message);
  // Where each access is logged (nowhere when null).
  void LogTo(std::FILE* log) { log_ = log; }

 private:
  struct Entry {
    std::string bytes;
    bool readOnly = false;
    uint32_t refuseWrite = 0;
  };
  std::string ServeEntry(const std::string& in, const std::string& out);
  std::string ServeList(const std::string& out);
  std::string ServeObject(const std::string& in, const std::string& out);
  std::string ServeEntryInfo(const std::string& in, const std::string& out);
  void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));

  mutable std::mutex mutex_;
  std::map<std::pair<uint16_t, uint8_t>, Entry> entries_;
  std::map<uint16_t, std::string> names_;
  std::FILE* log_ = nullptr;
};

}  // namespace KxrSim
