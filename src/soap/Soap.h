// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The ReadWrite call found by text search, and the SOAP documents answered.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "KxrTypes.h"

// Namespace of the ReadWriteResponse element; clients that check it rely on
// this exact value, so it never changes.
inline constexpr char kKxrServiceUrn[] = "urn:KxrWebService";

// SOAP parsing and document building; no state, all operations static.
class CSoap {
 public:
  // Finds <name>...</name> after the "<u:ReadWrite" anchor, or <name/> (an
  // empty value); 1 found, 0 not.
  static int ParseParameter(const std::string& body, const std::string& name, std::string& value);
  // As above, converted with atoi.
  static int ParseParameter(const std::string& body, const std::string& name, int& value);
  // As above, atoi then the low 16 bits.
  static int ParseParameter(const std::string& body, const std::string& name, unsigned short& value);
  // As above, dotted decimal into the six bytes of a net id.
  static int ParseParameter(const std::string& body, const std::string& name, RvtNetId& value);

  // Where the "<u:ReadWrite" anchor begins in body; std::string::npos when it
  // is absent.
  static std::size_t FindCall(const std::string& body);
  // The four overloads above with the anchor found beforehand (FindCall), so
  // that the six parameters of a call cost one search for it.
  static int ParseParameter(const std::string& body, std::size_t call, std::string_view name, std::string& value);
  static int ParseParameter(const std::string& body, std::size_t call, std::string_view name, int& value);
  static int ParseParameter(const std::string& body, std::size_t call, std::string_view name,
                            unsigned short& value);
  static int ParseParameter(const std::string& body, std::size_t call, std::string_view name, RvtNetId& value);

  // The ReadWriteResponse document carrying the Base64 result text.
  static std::string CreateResponse(const std::string& text);
  // The Fault document of a result code.
  static std::string CreateFaultString(int code);
  // The ReadWriteResponse document with an additional ppRdInfo element.
  static std::string CreateResponseDebug(const std::string& text, const std::string& info);
  // An HTML page showing the version text.
  static std::string CreateVersionHTML(std::string version);
};
