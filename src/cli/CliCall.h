// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The ReadWrite call of kxr-cli: the request document of a batch and the
// reading of the daemon's answer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CliArgs.h"

namespace KxrCli {

// The SOAP envelope of a ReadWrite call with these parameters, pwrData the
// Base64 text as given: the one place that lays the call out, for kxr-cli
// and for the tests that send calls (malformed ones included).
std::string ReadWriteEnvelope(int64_t group, int64_t count, int64_t readLength, const std::string& pwrData);
// The write buffer of a batch: the 12-byte headers, and for a write the data.
std::string BuildWriteBuffer(bool write, const std::vector<EntryArg>& entries);
// cbRdLen of a batch: room for every record and every wanted byte, at most 1 MiB.
int32_t ReadLength(bool write, const std::vector<EntryArg>& entries);
// The whole SOAP envelope of the call.
std::string BuildEnvelope(bool write, const std::vector<EntryArg>& entries);
// Bytes of the envelope of a batch of count entries whose write buffer holds
// bufferBytes and whose cbRdLen is readLength, without building it.
std::size_t EnvelopeSize(bool write, std::size_t count, std::size_t bufferBytes, int32_t readLength);

// What the daemon answered.
struct Answer {
  enum class Kind { kResult, kFault, kMalformed };
  Kind kind = Kind::kMalformed;
  std::string result;       // decoded ppRdData (kResult)
  int32_t faultCode = 0;    // faultcode (kFault)
  std::string faultString;  // faultstring (kFault)
  std::string problem;      // what is wrong with the document (kMalformed)
};

// Reads a ReadWriteResponse or a Fault out of the answer's body.
Answer ParseAnswer(const std::string& document);

// The outcome of one sub-request.
struct EntryResult {
  uint32_t code = 0;  // 0 success, else the service's or the client's code
  std::string data;   // bytes delivered (read)
};

// Splits a read result (records, then data) or a write result (codes) into
// one outcome per entry; false and a reason when the sizes do not agree.
bool SplitResult(bool write, std::size_t count, const std::string& result, std::vector<EntryResult>& outcomes,
                 std::string& problem);

}  // namespace KxrCli
