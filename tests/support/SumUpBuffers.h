// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Building blocks of sum-up calls for tests: sub-request headers, read
// records and the ReadWrite envelope, laid out as the daemon expects them.
#pragma once

#include <cstdint>
#include <string>

#include "FakeService.h"

namespace KxrTest {

// A 12-byte sub-request header: group word, sub-index, flags, index, length.
inline std::string Header(uint16_t index, uint8_t subIndex, uint32_t length, uint8_t flags = 0, uint32_t group = 0) {
  std::string b;
  return KxrProtocol::AppendHeader(b, KxrProtocol::SubRequestHeader{group, subIndex, flags, index, length}), b;
}

// The 8-byte record of one read sub-request: result code, bytes delivered.
inline std::string Record(uint32_t code, uint32_t length) {
  std::string b;
  return KxrProtocol::AppendRecord(b, KxrProtocol::ResultRecord{code, length}), b;
}

// A ReadWrite envelope as a page sends it; pwrData is the Base64 text as given.
inline std::string ReadWriteCall(int group, int count, int cbRdLen, const std::string& pwrData) {
  return "<?xml version=\"1.0\"?><SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\">"
         "<SOAP-ENV:Body><u:ReadWrite xmlns:u=\"urn:KxrWebService\"><netId></netId><nPort>0</nPort>"
         "<indexGroup>" + std::to_string(group) + "</indexGroup><indexOffset>" + std::to_string(count) +
         "</indexOffset><cbRdLen>" + std::to_string(cbRdLen) + "</cbRdLen><pwrData>" + pwrData +
         "</pwrData></u:ReadWrite></SOAP-ENV:Body></SOAP-ENV:Envelope>";
}

}  // namespace KxrTest
