// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The ReadWrite conversion on any bytes: it always returns, and every text value it extracts is a piece of the
// input found between its tags (an empty one also from an empty-element tag).

#include "FuzzCheck.h"
#include "Kxr.h"
#include "Soap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  _KXR_Parameters parameters;
  parameters.pwrData = "stale";
  const int rc = CKxr::SoapToKxrParameters(body, parameters);
  Check(rc == 0 || rc < 0, "the conversion returns 0 or a failure code");
  if (rc == 0) {
    Check(body.find("<u:ReadWrite") != std::string::npos, "a converted call has the anchor");
    Check(parameters.pwrData.empty() || body.find("<pwrData>" + parameters.pwrData + "</pwrData>") != std::string::npos,
          "pwrData is the text between its tags");
  }

  for (const char* name : {"netId", "nPort", "indexGroup", "indexOffset", "cbRdLen", "pwrData", "u:ReadWrite", ""}) {
    std::string value = "stale";
    // An empty value may come from an empty-element tag, <name/>, as well.
    if (CSoap::ParseParameter(body, name, value) == 1 && !value.empty()) {
      const std::string open = std::string("<") + name + ">";
      const std::size_t anchor = body.find("<u:ReadWrite");
      Check(anchor != std::string::npos, "a value is only found after the anchor");
      const std::size_t start = body.find(open, anchor + 1);
      Check(start != std::string::npos, "a value follows its opening tag");
      Check(body.compare(start + open.size(), value.size(), value) == 0, "the value lies inside the input");
      Check(body.compare(start + open.size() + value.size(), open.size() + 1, std::string("</") + name + ">") == 0,
            "the value ends at its closing tag");
    }
    int number = 0;
    unsigned short port = 0;
    RvtNetId id{};
    CSoap::ParseParameter(body, name, number), CSoap::ParseParameter(body, name, port), CSoap::ParseParameter(body, name, id);
  }
  return 0;
}
