// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The ReadWrite call found by text search, and the SOAP documents answered.
#include "Soap.h"

#include <climits>
#include <cstring>
#include <string_view>

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
// including the start tag of ppRdData; built on first use.
const std::string& ResponseHead() {
  static const std::string head = std::string(kXmlDecl) + kEnvelopeStart + kBodyStart +
                                  "<m:ReadWriteResponse xmlns:m=\"" + kKxrServiceUrn + "\"><ppRdData" +
                                  kStringTypeAttrs;
  return head;
}

// What follows the Base64 text in a ReadWriteResponse document.
constexpr char kResponseTail[] = "</ppRdData></m:ReadWriteResponse>";

// Whether c is white space in the C locale, as atoi and stream input skip it.
bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Whether c is white space in XML, which may stand before the "/>" of a tag.
bool IsXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// A decimal number read in place (the text need not end in a NUL): white
// space, optional sign, digits up to the first other byte; 0 without digits,
// saturated at minimum and maximum when out of range.
long long SaturatedDecimal(std::string_view text, long long minimum, long long maximum) {
  std::size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const unsigned long long limit =
      negative ? 0ULL - static_cast<unsigned long long>(minimum) : static_cast<unsigned long long>(maximum);
  unsigned long long magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const auto digit = static_cast<unsigned long long>(text[i] - '0');
    magnitude = magnitude > (limit - digit) / 10 ? limit : magnitude * 10 + digit;
  }
  return negative ? (magnitude == limit ? minimum : -static_cast<long long>(magnitude))
                  : static_cast<long long>(magnitude);
}

// One net id component read like a stream extraction of a decimal int:
// saturated at the limits of int.
int ComponentValue(std::string_view text, std::size_t begin, std::size_t end) {
  return static_cast<int>(SaturatedDecimal(text.substr(begin, end - begin), INT_MIN, INT_MAX));
}

// The text read as atoi reads it, that is strtol in base 10 narrowed to int:
// saturated at the limits of long before the narrowing.
int DecimalValue(std::string_view text) {
  return static_cast<int>(static_cast<long>(SaturatedDecimal(text, LONG_MIN, LONG_MAX)));
}

// Where the tag "<" + name + ">", or "</" + name + ">" when closing, first
// begins in body at or after from; npos when it does not occur. An opening
// tag may also be the empty-element tag "<" + name + "/>", with white space
// before the "/>", as toolkits write an empty value; its length is then put
// in emptyTag, else emptyTag is 0.
std::size_t FindTag(std::string_view body, std::size_t from, std::string_view name, bool closing,
                    std::size_t& emptyTag) {
  emptyTag = 0;
  const std::size_t length = name.size() + (closing ? 3 : 2);
  for (std::size_t at = body.find('<', from); at != std::string_view::npos && body.size() - at >= length;
       at = body.find('<', at + 1)) {
    const char* p = body.data() + at + 1;
    if (closing && *p++ != '/') continue;
    // The character after the name first: it rules out most tags without a
    // comparison of the name.
    const char after = p[name.size()];
    if (after == '>') {
      if (std::memcmp(p, name.data(), name.size()) == 0) return at;
      continue;
    }
    if (closing || name.empty() || (after != '/' && !IsXmlSpace(after)) || std::memcmp(p, name.data(), name.size()) != 0) continue;
    std::size_t end = at + 1 + name.size();
    while (end < body.size() && IsXmlSpace(body[end])) ++end;
    if (body.size() - end >= 2 && body[end] == '/' && body[end + 1] == '>') {
      emptyTag = end + 2 - at;
      return at;
    }
  }
  return std::string_view::npos;
}

// The text of the element name after the call's anchor at position call
// (npos: no anchor): the first opening tag after the anchor, up to the first
// closing tag after that; empty when that opening tag is an empty-element
// tag. False when either tag is missing.
bool FindText(std::string_view body, std::size_t call, std::string_view name, std::string_view& text) {
  if (call == std::string_view::npos) return false;
  std::size_t emptyTag = 0;
  const std::size_t start = FindTag(body, call + 1, name, false, emptyTag);
  if (start == std::string_view::npos) return false;
  if (emptyTag != 0) {
    text = body.substr(start + emptyTag, 0);
    return true;
  }
  const std::size_t end = FindTag(body, start + 1, name, true, emptyTag);
  if (end == std::string_view::npos) return false;
  const std::size_t first = start + name.size() + 2;
  // Only a name that itself holds markup lets the closing tag overlap the
  // opening one; such a value does not exist.
  if (end < first) return false;
  text = body.substr(first, end - first);
  return true;
}

}  // namespace

std::size_t CSoap::FindCall(const std::string& body) { return body.find(kAnchor); }

int CSoap::ParseParameter(const std::string& body, const std::string& name, std::string& value) {
  return ParseParameter(body, FindCall(body), name, value);
}

int CSoap::ParseParameter(const std::string& body, const std::string& name, int& value) {
  return ParseParameter(body, FindCall(body), name, value);
}

int CSoap::ParseParameter(const std::string& body, const std::string& name, unsigned short& value) {
  return ParseParameter(body, FindCall(body), name, value);
}

int CSoap::ParseParameter(const std::string& body, const std::string& name, RvtNetId& value) {
  return ParseParameter(body, FindCall(body), name, value);
}

int CSoap::ParseParameter(const std::string& body, std::size_t call, std::string_view name, std::string& value) {
  std::string_view text;
  if (!FindText(body, call, name, text)) return 0;
  try {
    value.assign(text.data(), text.size());
    return 1;
  } catch (...) {
    return 0;
  }
}

int CSoap::ParseParameter(const std::string& body, std::size_t call, std::string_view name, int& value) {
  std::string_view text;
  if (!FindText(body, call, name, text)) return 0;
  value = DecimalValue(text);
  return 1;
}

int CSoap::ParseParameter(const std::string& body, std::size_t call, std::string_view name,
                          unsigned short& value) {
  int number = 0;
  if (ParseParameter(body, call, name, number) == 0) return 0;
  value = static_cast<unsigned short>(number);
  return 1;
}

int CSoap::ParseParameter(const std::string& body, std::size_t call, std::string_view name, RvtNetId& value) {
  std::string_view text;
  if (!FindText(body, call, name, text)) return 0;
  if (text.empty()) {
    for (unsigned char& b : value.b) b = 0;
    return 1;
  }
  // Components are separated by '.'; empty ones count, but a '.' at the very
  // end starts none. Components after the sixth have no byte and are ignored.
  std::size_t begin = 0;
  for (std::size_t n = 0; n < sizeof value.b && begin < text.size(); ++n) {
    std::size_t end = text.find('.', begin);
    if (end == std::string_view::npos) end = text.size();
    value.b[n] = static_cast<unsigned char>(ComponentValue(text, begin, end) & 0xFF);
    begin = end + 1;
  }
  return 1;
}

std::string CSoap::CreateResponse(const std::string& text) {
  try {
    // One allocation for the whole document.
    const std::string& head = ResponseHead();
    std::string document;
    document.reserve(head.size() + text.size() + (sizeof kResponseTail - 1) + (sizeof kEnvelopeEnd - 1));
    document.append(head).append(text).append(kResponseTail).append(kEnvelopeEnd);
    return document;
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
