// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The service's result codes with their texts, and the service's version.
#pragma once

#include <string>

#include "ResultCodes.h"

// Result codes of the service: 0 is success, every failure has its top bit set
// and is therefore negative. Codes of other components (device-profile client
// and service, automation library) travel in the same int unchanged. Values
// and texts come from ResultCodes.def.
enum KXRWebErrCode : int {
  KXRWEB_SUCCESS = static_cast<int>(KxrResult::Success),
  KXRWEB_ERR_UNSPECIFIC = static_cast<int>(KxrResult::Unspecific),
  KXRWEB_ERR_INVALID_METHOD = static_cast<int>(KxrResult::InvalidMethod),
  KXRWEB_ERR_INVALID_SOAP = static_cast<int>(KxrResult::InvalidSoap),
  KXRWEB_ERR_INVALID_CONTENT_TYPE = static_cast<int>(KxrResult::InvalidContentType),
  KXRWEB_ERR_SOAP_TOO_LONG = static_cast<int>(KxrResult::SoapTooLong),
  KXRWEB_ERR_OUT_OF_MEMORY = static_cast<int>(KxrResult::OutOfMemory),
  KXRWEB_ERR_READBUF_TOO_SMALL = static_cast<int>(KxrResult::ReadBufferTooSmall),
  KXRWEB_ERR_INVALID_WRITEBUF = static_cast<int>(KxrResult::InvalidWriteBuffer),
  KXRWEB_ERR_OUT_OF_RANGE = static_cast<int>(KxrResult::OutOfRange),
  KXRWEB_ERR_INVALID_ARGUMENT = static_cast<int>(KxrResult::InvalidArgument),
  KXRWEB_ERR_MAX_SUBCOMMANDS = static_cast<int>(KxrResult::MaxSubcommands),
  KXRWEB_ERR_MAX_READBUF = static_cast<int>(KxrResult::MaxReadBuffer),
  KXRWEB_ERR_MAX_WRITEBUF = static_cast<int>(KxrResult::MaxWriteBuffer),
};

// Version text and error texts of the service.
class CKXRWeb {
 public:
  // The text of one of the service's own codes; "Unknown error" for any
  // other code, those of other components included.
  static std::string KXRWebErrCodeToErrMsg(int code);
  // The version of the service, "v1.1.0.5".
  static std::string GetVersion();
};
