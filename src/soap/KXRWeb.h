// The service's result codes with their texts, and the service's version.
#pragma once

#include <string>

// Result codes of the service: 0 is success, every failure has its top bit set
// and is therefore negative. Codes of other components (device-profile client
// and service, automation library) travel in the same int unchanged.
enum KXRWebErrCode : int {
  KXRWEB_SUCCESS = 0,
  KXRWEB_ERR_UNSPECIFIC = static_cast<int>(0xA03D0001u),
  KXRWEB_ERR_INVALID_METHOD = static_cast<int>(0xA03D0002u),
  KXRWEB_ERR_INVALID_SOAP = static_cast<int>(0xA03D0003u),
  KXRWEB_ERR_INVALID_CONTENT_TYPE = static_cast<int>(0xA03D0004u),
  KXRWEB_ERR_SOAP_TOO_LONG = static_cast<int>(0xA03D0005u),
  KXRWEB_ERR_OUT_OF_MEMORY = static_cast<int>(0xA03D0100u),
  KXRWEB_ERR_READBUF_TOO_SMALL = static_cast<int>(0xA03D0101u),
  KXRWEB_ERR_INVALID_WRITEBUF = static_cast<int>(0xA03D0102u),
  KXRWEB_ERR_OUT_OF_RANGE = static_cast<int>(0xA03D0103u),
  KXRWEB_ERR_INVALID_ARGUMENT = static_cast<int>(0xA03D0104u),
  KXRWEB_ERR_MAX_SUBCOMMANDS = static_cast<int>(0xA03D0105u),
  KXRWEB_ERR_MAX_READBUF = static_cast<int>(0xA03D0106u),
  KXRWEB_ERR_MAX_WRITEBUF = static_cast<int>(0xA03D0107u),
};

// Version text and error texts of the service.
class CKXRWeb {
 public:
  // The text of a result code; "Unknown error" for codes outside the table.
  static std::string KXRWebErrCodeToErrMsg(int code);
  // The version of the service, "v1.1.0.5".
  static std::string GetVersion();
};
