// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The request engine: one ReadWrite call's parameters, their validation and
// the sum-up read and write over the device-profile service or, when the
// automation path is switched on, over the automation-protocol library.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "KxrTypes.h"
#include "Protocol.h"
#include "PxoSyncWrap.h"

// One parsed ReadWrite call.
struct _KXR_Parameters {
  RvtNetId netId{};        // target net id (automation path only)
  unsigned short nPort{};  // target port (automation path only)
  int indexGroup{};        // KxrProtocol::kSumUpRead or kSumUpWrite
  int indexOffset{};       // number of sub-requests
  int cbRdLen{};           // largest result the caller accepts, in bytes
  std::string pwrData;     // write buffer: Base64 text, then the decoded bytes
};

// A copy of one 12-byte sub-request header, decoded from the write buffer.
using writeBuffer_ = KxrProtocol::SubRequestHeader;

// Executes one ReadWrite call; lives for that call only.
class CKxr : public CPxoSyncWrap {
 public:
  // Fills parameters from the SOAP body; 0, or the code of the first failure.
  static int SoapToKxrParameters(const std::string& body, _KXR_Parameters& parameters);
  // Reports whether the automation path is enabled; leaves the flag alone when it is not.
  static int GetPxoCommunicationEnabled(unsigned char* pEnabled);

  // Loads the automation library (a failure is ignored) and keeps the parameters.
  explicit CKxr(_KXR_Parameters parameters);
  // Releases the automation library.
  ~CKxr();
  CKxr(const CKxr&) = delete;
  CKxr& operator=(const CKxr&) = delete;

  // Validates and runs the call; on success result holds the result buffer.
  int Execute(std::string& result);
  // The time after which no more sub-requests are sent to the device-profile
  // service: the call's connection is cut then. Never, unless set.
  void SetDeadline(std::chrono::steady_clock::time_point deadline) { m_deadline = deadline; }
  // Checks the parameters against the limits of a sum-up; 0 or the failing rule's code.
  int ValidateParameters();
  // Sum-up read over the device-profile service.
  int SumUpReadKXR(std::string& result);
  // Sum-up write over the device-profile service.
  int SumUpWriteKXR(std::string& result);
  // Sum-up read handed to the automation library in one request.
  int SumUpReadPXO(std::string& result, int64_t port);
  // Sum-up write handed to the automation library in one request.
  int SumUpWritePXO(std::string& result, int64_t port);

 private:
  // Copies the first count headers and checks the data lengths behind them;
  // totalData receives the sum of the lengths. 0 or the code of the refusal.
  int SplitWriteBuffer(std::vector<writeBuffer_>& headers, uint64_t& totalData) const;

  _KXR_Parameters m_parameters;  // the engine's own copy of the call's parameters
  RvtAddr m_addr;                // target address for the automation library
  RvtAddr* m_pAddr;              // points to m_addr; handed to the library
  std::chrono::steady_clock::time_point m_deadline = (std::chrono::steady_clock::time_point::max)();
};
