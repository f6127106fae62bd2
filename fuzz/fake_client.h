// A fake device-profile client for the engine fuzzer: its answers come from
// the fuzz input, and it records what the engine asked for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

namespace fakeclient {

// One call the engine made.
struct Call {
  bool write = false;    // KXRSyncWrite, else KXRSyncRead
  uint16_t index = 0;    // object index asked for
  uint8_t subIndex = 0;  // sub-index asked for
  uint64_t length = 0;   // bytes wanted or written
  std::string data;      // bytes written, or bytes the fake delivered
  uint64_t delivered = 0;  // count the fake reported for a read
  uint32_t code = 0;     // result the fake returned
};

// Where the fake takes its answers from; set before each run.
extern FuzzedDataProvider* gAnswers;
// Every call of the current run, in order.
extern std::vector<Call> gCalls;

}  // namespace fakeclient
