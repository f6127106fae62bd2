// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// kxr-cli's request documents and its reading of the daemon's answers, read and built by the daemon's SOAP code.
#include <gtest/gtest.h>

#include "CliCall.h"
#include "CliReport.h"
#include "CliTransport.h"
#include "Protocol.h"
#include "ResultCodes.h"
#include "Soap.h"

namespace KxrCli {
namespace {

EntryArg Entry(uint16_t index, uint8_t subIndex, uint32_t length, const std::string& data = "") {
  EntryArg entry;
  std::tie(entry.index, entry.subIndex, entry.length, entry.data) = std::tie(index, subIndex, length, data);
  return entry;
}

std::string Le32(uint32_t v) { std::string b; KxrProtocol::AppendLe(b, v, 4); return b; }

// The daemon's parser finds every parameter; the write buffers are those of the web service's worked examples.
TEST(CliCall, EnvelopeAsTheDaemonReadsIt) {
  const struct { bool write; std::vector<EntryArg> entries; int cbRdLen; std::string pwrData; } cases[] = {
      {false, {Entry(0x1018, 1, 4), Entry(0x1008, 0, 8)}, 28, "AAAAAAEAGBAEAAAAAAAAAAAACBAIAAAA"},
      {true, {Entry(0x2000, 1, 2, "\x34\x12")}, 4, "AAAAAAEAACACAAAANBI="},
      {false, {Entry(1, 1, 0x100000), Entry(2, 2, 0x100000)}, 0x100000, ""},  // capped at 1 MiB
  };
  for (const auto& c : cases) {
    const std::string body = BuildEnvelope(c.write, c.entries);
    int group = 0, count = 0, cbRdLen = 0;
    unsigned short port = 1;
    std::string pwrData;
    EXPECT_EQ(CSoap::ParseParameter(body, "indexGroup", group) + CSoap::ParseParameter(body, "indexOffset", count) +
                  CSoap::ParseParameter(body, "cbRdLen", cbRdLen) + CSoap::ParseParameter(body, "nPort", port) +
                  CSoap::ParseParameter(body, "pwrData", pwrData),
              5);
    EXPECT_EQ(std::make_tuple(group, count, cbRdLen, port),
              std::make_tuple(c.write ? 61569 : 61568, static_cast<int>(c.entries.size()), c.cbRdLen, 0));
    EXPECT_EQ(c.pwrData.empty() ? "" : pwrData, c.pwrData);
  }
}

// Faults and answers that are not what the batch asked for (good answers: kxr-cli against the daemon, through nginx).
TEST(CliCall, Answers) {
  Answer answer = ParseAnswer(CSoap::CreateFaultString(static_cast<int>(KxrResult::ServiceNotRunning)));
  ASSERT_EQ(answer.kind, Answer::Kind::kFault);
  const std::string message = FormatFault(answer.faultCode, answer.faultString);
  for (const char* part : {"0xECA60201", "-324664831", "Unknown error", "not running"})
    EXPECT_NE(message.find(part), std::string::npos) << message;
  for (const std::string& bad : {std::string("<html>502</html>"), CSoap::CreateResponse("!!!")})
    EXPECT_EQ(ParseAnswer(bad).kind, Answer::Kind::kMalformed) << bad;

  // Results whose sizes disagree with the batch.
  std::vector<EntryResult> outcomes;
  std::string problem;
  const std::tuple<bool, std::size_t, std::string> inconsistent[] = {
      {true, 2, Le32(0)}, {false, 2, Le32(0) + Le32(0)}, {false, 1, Le32(0) + Le32(5) + "abcd"},
      {false, 1, Le32(0) + Le32(1) + "ab"}};
  for (const auto& [write, count, result] : inconsistent)
    EXPECT_FALSE(SplitResult(write, count, result, outcomes, problem)) << count;
}

// The service path goes after the URL's path, without doubled slashes; files
// (the dictionary) are fetched under that path.
TEST(CliCall, UrlEndpoints) {
  const std::tuple<const char*, bool, const char*> cases[] = {
      {"", true, "  /KxrWebService/KxrWebService.dll |"}, {"http://dev", true, "dev 80 /KxrWebService/KxrWebService.dll |"},
      {"http://[::1]:81/config/", true, "::1 81 /config/KxrWebService/KxrWebService.dll |/config"},
      {"http://h/p/KxrWebService/KxrWebService.dll", true, "h 80 /p/KxrWebService/KxrWebService.dll |/p"},
      {"https://h/", true, "h 443 /KxrWebService/KxrWebService.dll |"}, {"ftp://h/", false, ""}, {"http://h:port/", false, ""},
      {"http://h:0/", false, ""}, {"https://h:65536/", false, ""}};
  for (const auto& [url, ok, parts] : cases) {
    Endpoint endpoint;
    std::string error;
    EXPECT_EQ(MakeEndpoint(url, "/s", endpoint, error), ok) << url;
    EXPECT_EQ(ok ? endpoint.host + " " + endpoint.port + " " + endpoint.target + " |" + endpoint.base : "", parts) << url;
  }
}

}  // namespace
}  // namespace KxrCli
