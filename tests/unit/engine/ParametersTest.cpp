// Conversion of a ReadWrite body into parameters, and their validation.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "KXRWeb.h"
#include "Kxr.h"

namespace {

std::string Element(const std::string& name, const std::string& value) {
  return "<" + name + ">" + value + "</" + name + ">";
}

std::string Body(const std::string& skip = "") {
  const char* names[][2] = {{"netId", "1.2.3.4.5.6"}, {"nPort", "851"},      {"indexGroup", "61568"},
                            {"indexOffset", "2"},     {"cbRdLen", "100"},     {"pwrData", "AAEC"}};
  std::string body = "<u:ReadWrite xmlns:u=\"urn:KxrWebService\">";
  for (auto& nv : names)
    if (skip != nv[0]) body += Element(nv[0], nv[1]);
  return body + "</u:ReadWrite>";
}

TEST(SoapToKxrParameters, ReadsEveryField) {
  _KXR_Parameters p;
  ASSERT_EQ(CKxr::SoapToKxrParameters(Body(), p), 0);
  const unsigned char netId[6] = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(0, memcmp(p.netId.b, netId, 6));
  EXPECT_EQ(p.nPort, 851);
  EXPECT_EQ(p.indexGroup, 61568);
  EXPECT_EQ(p.indexOffset, 2);
  EXPECT_EQ(p.cbRdLen, 100);
  EXPECT_EQ(p.pwrData, "AAEC");  // still Base64 text
}

TEST(SoapToKxrParameters, MissingElementGivesItsCode) {
  struct Row {
    const char* missing;
    int code;
  } rows[] = {{"netId", KXRWEB_ERR_INVALID_SOAP},       {"nPort", KXRWEB_ERR_INVALID_SOAP},
              {"indexGroup", KXRWEB_ERR_INVALID_SOAP},  {"indexOffset", KXRWEB_ERR_INVALID_SOAP},
              {"cbRdLen", KXRWEB_ERR_INVALID_SOAP},     {"pwrData", KXRWEB_ERR_INVALID_WRITEBUF}};
  for (const Row& row : rows) {
    _KXR_Parameters p;
    EXPECT_EQ(CKxr::SoapToKxrParameters(Body(row.missing), p), row.code) << row.missing;
  }
  _KXR_Parameters p;
  EXPECT_EQ(CKxr::SoapToKxrParameters("<m:ReadWrite>" + Element("nPort", "1") + "</m:ReadWrite>", p),
            KXRWEB_ERR_INVALID_SOAP);
}

struct ValidationRow {
  int group, count, cbRdLen;
  size_t length;
  int code;
};

TEST(ValidateParameters, RulesInTheirOrder) {
  const int R = KxrProtocol::kSumUpRead, W = KxrProtocol::kSumUpWrite;
  const ValidationRow rows[] = {
      {0xF304, 1, 8, 12, KXRWEB_ERR_INVALID_ARGUMENT},  // automation commands are not for callers
      {0, 1, 8, 12, KXRWEB_ERR_INVALID_ARGUMENT},
      {R, 0, 0, 12, KXRWEB_ERR_INVALID_ARGUMENT},       // the count rule comes before cbRdLen
      {R, -1, 8, 12, KXRWEB_ERR_INVALID_ARGUMENT},
      {R, 301, 8, 12, KXRWEB_ERR_MAX_SUBCOMMANDS},
      {R, 300, 2400, 3600, 0},
      {R, 1, 0, 12, KXRWEB_ERR_READBUF_TOO_SMALL},
      {R, 1, 1048577, 12, KXRWEB_ERR_MAX_READBUF},
      {R, 1, 1048576, 12, 0},
      {R, 1, 8, 0, KXRWEB_ERR_INVALID_WRITEBUF},
      {R, 2, 15, 24, KXRWEB_ERR_READBUF_TOO_SMALL},
      {R, 2, 16, 24, 0},
      {R, 2, 16, 30, KXRWEB_ERR_INVALID_WRITEBUF},      // not a multiple of 12
      {R, 2, 16, 12, KXRWEB_ERR_INVALID_WRITEBUF},      // one header for two sub-requests
      {R, 2, 16, 36, 0},                                // the third header is ignored
      {W, 2, 7, 24, KXRWEB_ERR_READBUF_TOO_SMALL},
      {W, 2, 8, 24, 0},
      {W, 2, 8, 23, KXRWEB_ERR_INVALID_WRITEBUF},
      {W, 2, 8, 31, 0},                                 // data follows the headers
  };
  for (const ValidationRow& row : rows) {
    _KXR_Parameters p;
    p.indexGroup = row.group;
    p.indexOffset = row.count;
    p.cbRdLen = row.cbRdLen;
    p.pwrData.assign(row.length, '\0');
    CKxr engine(p);
    EXPECT_EQ(engine.ValidateParameters(), row.code)
        << "group " << row.group << " count " << row.count << " cbRdLen " << row.cbRdLen << " length " << row.length;
  }
}

TEST(Execute, RefusedParametersTouchNothing) {
  _KXR_Parameters p;
  p.indexGroup = KxrProtocol::kSumUpRead;
  p.indexOffset = 301;
  p.cbRdLen = 8;
  p.pwrData.assign(12, '\0');
  CKxr engine(p);
  std::string result;
  EXPECT_EQ(engine.Execute(result), KXRWEB_ERR_MAX_SUBCOMMANDS);
  EXPECT_TRUE(result.empty());
}

TEST(GetPxoCommunicationEnabled, ReportsThePathDisabled) {
  unsigned char flag = 0;
  EXPECT_EQ(CKxr::GetPxoCommunicationEnabled(&flag), 0);
  EXPECT_EQ(flag, 0);
}

}  // namespace
