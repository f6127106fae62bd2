// The service's result codes with their texts, and the service's version.
#include "KXRWeb.h"

std::string CKXRWeb::KXRWebErrCodeToErrMsg(int code) {
  switch (code) {
    case KXRWEB_SUCCESS: return "Success";
    case KXRWEB_ERR_UNSPECIFIC: return "Unspecific error";
    case KXRWEB_ERR_INVALID_METHOD: return "Invalid HTTP method (POST required)";
    case KXRWEB_ERR_INVALID_SOAP: return "Invalid SOAP message";
    case KXRWEB_ERR_INVALID_CONTENT_TYPE: return "Invalid content-type (text/xml required)";
    case KXRWEB_ERR_SOAP_TOO_LONG: return "Maximum length of SOAP message reached";
    case KXRWEB_ERR_OUT_OF_MEMORY: return "Out of memory";
    case KXRWEB_ERR_READBUF_TOO_SMALL: return "Readbuffer too small";
    case KXRWEB_ERR_INVALID_WRITEBUF: return "Invalid writebuffer";
    case KXRWEB_ERR_OUT_OF_RANGE: return "Out of range";
    case KXRWEB_ERR_INVALID_ARGUMENT: return "Invalid argument";
    case KXRWEB_ERR_MAX_SUBCOMMANDS: return "Maximum amount of subcommands reached";
    case KXRWEB_ERR_MAX_READBUF: return "Maximum length of readbuffer reached";
    case KXRWEB_ERR_MAX_WRITEBUF: return "Maximum length of writebuffer reached";
    default: return "Unknown error";  // codes of other components pass through
  }
}

std::string CKXRWeb::GetVersion() { return "v1.1.0.5"; }
