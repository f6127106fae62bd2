// The ReadWrite call found by text search, and the SOAP documents answered.
#include "Soap.h"

#include <climits>
#include <cstdlib>

#include "KXRWeb.h"

namespace {

// Only the text after this anchor is searched; it ends before the '>' so that
// the element may carry attributes such as a namespace declaration.
constexpr char kAnchor[] = "<u:ReadWrite";

// The documents are built by concatenation of these fixed pieces.
constexpr char kXmlDecl[] = "<?xml version=\"1.0\"?>";
constexpr char kEnvelopeStart[] =
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\""
    " SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">";
constexpr char kBodyStart[] = "<SOAP-ENV:Body>";
constexpr char kEnvelopeEnd[] = "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
constexpr char kStringTypeAttrs[] =
    " xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" dt:dt=\"string\">";

// Declaration, envelope, body and the ReadWriteResponse start tag, up to and
// including the start tag of ppRdData.
std::string ResponseHead() {
  return std::string(kXmlDecl) + kEnvelopeStart + kBodyStart + "<m:ReadWriteResponse xmlns:m=\"" +
         kKxrServiceUrn + "\"><ppRdData" + kStringTypeAttrs;
}

// Whether c is white space in the C locale, as atoi and stream input skip it.
bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// One net id component read like a stream extraction of a decimal int:
// white space, optional sign, digits; 0 without digits, saturated at the
// limits of int when out of range.
int ComponentValue(const std::string& text, std::size_t begin, std::size_t end) {
  std::size_t i = begin;
  while (i < end && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < end && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
  long long magnitude = 0;
  bool digits = false;
  for (; i < end && text[i] >= '0' && text[i] <= '9'; ++i) {
    digits = true;
    if (magnitude <= limit) magnitude = magnitude * 10 + (text[i] - '0');
  }
  if (!digits) return 0;
  if (magnitude > limit) magnitude = limit;
  return static_cast<int>(negative ? -magnitude : magnitude);
}

}  // namespace

int CSoap::ParseParameter(const std::string& body, const std::string& name, std::string& value) {
  try {
    const std::size_t anchor = body.find(kAnchor);
    if (anchor == std::string::npos) return 0;
    const std::string open = "<" + name + ">";
    const std::string close = "</" + name + ">";
    const std::size_t start = body.find(open, anchor + 1);
    if (start == std::string::npos) return 0;
    const std::size_t end = body.find(close, start + 1);
    if (end == std::string::npos) return 0;
    const std::size_t first = start + open.size();
    // Only a name that itself holds markup lets the closing tag overlap the
    // opening one; such a value does not exist.
    if (end < first) return 0;
    value = body.substr(first, end - first);
    return 1;
  } catch (...) {
    return 0;
  }
}

int CSoap::ParseParameter(const std::string& body, const std::string& name, int& value) {
  std::string text;
  if (ParseParameter(body, name, text) == 0) return 0;
  // atoi is strtol narrowed to int; strtol keeps values outside int defined.
  value = static_cast<int>(std::strtol(text.c_str(), nullptr, 10));
  return 1;
}

int CSoap::ParseParameter(const std::string& body, const std::string& name, unsigned short& value) {
  int number = 0;
  if (ParseParameter(body, name, number) == 0) return 0;
  value = static_cast<unsigned short>(number);
  return 1;
}

int CSoap::ParseParameter(const std::string& body, const std::string& name, RvtNetId& value) {
  std::string text;
  if (ParseParameter(body, name, text) == 0) return 0;
  if (text.empty()) {
    for (unsigned char& b : value.b) b = 0;
    return 1;
  }
  // Components are separated by '.'; empty ones count, but a '.' at the very
  // end starts none. Components after the sixth have no byte and are ignored.
  std::size_t begin = 0;
  for (std::size_t n = 0; n < sizeof value.b && begin < text.size(); ++n) {
    std::size_t end = text.find('.', begin);
    if (end == std::string::npos) end = text.size();
    value.b[n] = static_cast<unsigned char>(ComponentValue(text, begin, end) & 0xFF);
    begin = end + 1;
  }
  return 1;
}

std::string CSoap::CreateResponse(const std::string& text) {
  try {
    return ResponseHead() + text + "</ppRdData></m:ReadWriteResponse>" + kEnvelopeEnd;
  } catch (...) {
    return std::string();
  }
}

std::string CSoap::CreateFaultString(int code) {
  try {
    return std::string(kXmlDecl) + kEnvelopeStart + kBodyStart + "<SOAP-ENV:Fault><faultcode" +
           kStringTypeAttrs + std::to_string(code) + "</faultcode><faultstring" +
           kStringTypeAttrs + CKXRWeb::KXRWebErrCodeToErrMsg(code) +
           "</faultstring></SOAP-ENV:Fault>" + kEnvelopeEnd;
  } catch (...) {
    return std::string();
  }
}

std::string CSoap::CreateResponseDebug(const std::string& text, const std::string& info) {
  try {
    return ResponseHead() + text + "</ppRdData><ppRdInfo" + kStringTypeAttrs + info +
           "</ppRdInfo></m:ReadWriteResponse>" + kEnvelopeEnd;
  } catch (...) {
    return std::string();
  }
}

std::string CSoap::CreateVersionHTML(std::string version) {
  try {
    return "<html><head>"
           "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1252\">"
           "<link rel=\"stylesheet\" type=\"text/css\" href=\"lumbra.css\">"
           "<title>Norvik ISAPI Extension</title></head>"
           "<BODY TOPMARGIN=\"0\">"
           "<h1><span lang=\"en-us\">Norvik ISAPI Extension</span></h1>"
           "<table width=\"97%\" id=\"table3\" height=\"50\">"
           "<tr vAlign=\"top\">"
           "<th align=\"left\" width=\"20%\" style=\"vertical-align: top\">KXR WebService</th>"
           "<th align=\"left\" width=\"600\" style=\"vertical-align: top\"></th></tr>"
           "<tr><td width=\"20%\">Version</td><td width=\"600\">" +
           version + "</td></tr></table></body></html>";
  } catch (...) {
    return std::string();
  }
}
