// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The ReadWrite conversion on any bytes: it always returns, and every text value it extracts is a piece of the
// input found between its tags, or
// empty from an empty-element tag.

#include <string_view>

#include "FuzzCheck.h"
#include "Kxr.h"
#include "Soap.h"

namespace {

// Where the first empty-element tag of name ("<name/>", white space allowed
// before "/>") begins at or after from; npos when there is none.
std::size_t EmptyTag(const std::string& body, std::size_t from, const std::string& name) {
  if (name.empty()) return std::string::npos;
  for (std::size_t at = body.find("<" + name, from); at != std::string::npos; at = body.find("<" + name, at + 1)) {
    std::size_t end = at + 1 + name.size();
    while (end < body.size() && std::string_view(" \t\r\n").find(body[end]) != std::string_view::npos) ++end;
    if (body.compare(end, 2, "/>") == 0) return at;
  }
  return std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  _KXR_Parameters parameters;
  parameters.pwrData = "stale";
  const int rc = CKxr::SoapToKxrParameters(body, parameters);
  Check(rc == 0 || rc < 0, "the conversion returns 0 or a failure code");
  if (rc == 0) Check(body.find("<u:ReadWrite") != std::string::npos, "a converted call has the anchor");

  for (const char* name : {"netId", "nPort", "indexGroup", "indexOffset", "cbRdLen", "pwrData", "u:ReadWrite", ""}) {
    std::string value = "stale";
    if (CSoap::ParseParameter(body, name, value) == 1) {
      const std::string open = std::string("<") + name + ">";
      const std::size_t anchor = body.find("<u:ReadWrite");
      Check(anchor != std::string::npos, "a value is only found after the anchor");
      const std::size_t start = body.find(open, anchor + 1);
      if (EmptyTag(body, anchor + 1, name) < start) {
        Check(value.empty(), "an empty-element tag before the opening tag is an empty value");
        continue;
      }
      Check(start != std::string::npos, "a value follows its opening tag");
      Check(body.compare(start + open.size(), value.size(), value) == 0, "the value lies inside the input");
      Check(body.compare(start + open.size() + value.size(), open.size() + 1,
                         std::string("</") + name + ">") == 0,
            "the value ends at its closing tag");
      if (rc == 0 && std::string(name) == "pwrData") Check(parameters.pwrData == value, "pwrData is its text");
    }
    int number = 0;
    unsigned short port = 0;
    RvtNetId id{};
    CSoap::ParseParameter(body, name, number), CSoap::ParseParameter(body, name, port), CSoap::ParseParameter(body, name, id);
  }
  return 0;
}
