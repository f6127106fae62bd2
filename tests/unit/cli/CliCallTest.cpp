// kxr-cli's request documents and its reading of the daemon's answers, the
// documents being read and built by the daemon's own SOAP code.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>
#include <thread>

#include "Base64.h"
#include "CliCall.h"
#include "CliMain.h"
#include "CliReport.h"
#include "CliTransport.h"
#include "Protocol.h"
#include "ResultCodes.h"
#include "Soap.h"

namespace KxrCli {
namespace {

EntryArg Entry(uint16_t index, uint8_t subIndex, uint32_t length, const std::string& data = "") {
  EntryArg entry;
  entry.index = index;
  entry.subIndex = subIndex;
  entry.length = length;
  entry.data = data;
  return entry;
}

std::string Le32(uint32_t v) {
  std::string bytes;
  KxrProtocol::AppendLe(bytes, v, 4);
  return bytes;
}

// The daemon's parser finds every parameter, and the write buffers are those
// of the worked examples of the web service.
TEST(CliCall, EnvelopeAsTheDaemonReadsIt) {
  const struct {
    bool write;
    std::vector<EntryArg> entries;
    int cbRdLen;
    std::string pwrData;
  } cases[] = {
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
    if (!c.pwrData.empty()) {
      EXPECT_EQ(pwrData, c.pwrData);
    }
  }
}

TEST(CliCall, Answers) {
  const std::string reads = Le32(0) + Le32(4) + Le32(KxrResult::NoSuchEntry) + Le32(0) + Le32(KxrResult::EntryBufferTooSmall) + Le32(2);
  Answer answer = ParseAnswer(CSoap::CreateResponse(Base64::encode(reads + "\x78\x56\x34\x12" + "ab")));
  ASSERT_EQ(answer.kind, Answer::Kind::kResult);
  std::vector<EntryResult> outcomes;
  std::string problem;
  ASSERT_TRUE(SplitResult(false, 3, answer.result, outcomes, problem)) << problem;
  EXPECT_EQ(outcomes[0].data, "\x78\x56\x34\x12");
  EXPECT_EQ(outcomes[1].code, KxrResult::NoSuchEntry);
  EXPECT_EQ(outcomes[2].data, "ab");
  EXPECT_EQ(FormatEntryLine(false, Entry(0x1018, 1, 4), outcomes[0]),
            "0x1018:0x01  0x00000000 Success  4 bytes: 78 56 34 12  \"xV4.\"");
  EXPECT_EQ(FormatEntryLine(false, Entry(0x7777, 1, 4), outcomes[1]), "0x7777:0x01  0xECA60301 No such object or sub-index");
  EXPECT_EQ(FormatEntryLine(true, Entry(0x1018, 1, 4), EntryResult{KxrResult::ReadOnlyEntry, ""}),
            "0x1018:0x01  0xECA60303 Entry is read-only");

  answer = ParseAnswer(CSoap::CreateFaultString(static_cast<int>(KxrResult::ServiceNotRunning)));
  ASSERT_EQ(answer.kind, Answer::Kind::kFault);
  const std::string message = FormatFault(answer.faultCode, answer.faultString);
  for (const char* part : {"0xECA60201", "-324664831", "Unknown error", "not running"})
    EXPECT_NE(message.find(part), std::string::npos) << message;
  for (const std::string& bad : {std::string("<html>502</html>"), CSoap::CreateResponse("!!!")})
    EXPECT_EQ(ParseAnswer(bad).kind, Answer::Kind::kMalformed) << bad;

  // Results whose sizes disagree with the batch.
  const std::tuple<bool, std::size_t, std::string> inconsistent[] = {
      {true, 2, Le32(0)}, {false, 2, Le32(0) + Le32(0)}, {false, 1, Le32(0) + Le32(5) + "abcd"},
      {false, 1, Le32(0) + Le32(1) + "ab"}};
  for (const auto& [write, count, result] : inconsistent)
    EXPECT_FALSE(SplitResult(write, count, result, outcomes, problem)) << count;
}

TEST(CliCall, UrlEndpoints) {
  const std::tuple<const char*, bool, const char*, const char*, const char*> cases[] = {
      {"", true, "", "", "/KxrWebService/KxrWebService.dll"},
      {"http://dev", true, "dev", "80", "/KxrWebService/KxrWebService.dll"},
      {"http://[::1]:81/config/", true, "::1", "81", "/config/KxrWebService/KxrWebService.dll"},
      {"https://h/", false, "", "", ""}, {"http://h:port/", false, "", "", ""}};
  for (const auto& [url, ok, host, port, target] : cases) {
    Endpoint endpoint;
    std::string error;
    EXPECT_EQ(MakeEndpoint(url, "/s", endpoint, error), ok) << url;
    if (ok) {
      EXPECT_EQ(endpoint.host + " " + endpoint.port + " " + endpoint.target, std::string(host) + " " + port + " " + target);
    }
  }
}

// A front server on a loopback port answers a fault, then a result with a
// failed entry: both end in the failure status, with the report on the right stream.
TEST(CliCall, RunReportsOverTcp) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), size) | ::listen(listener, 2) |
                ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size),
            0);
  const std::string answers[] = {CSoap::CreateFaultString(static_cast<int>(KxrResult::MaxSubcommands)),
                                 CSoap::CreateResponse(Base64::encode(Le32(KxrResult::NoSuchEntry) + Le32(0)))};
  std::string request;
  std::thread server([&] {
    for (const std::string& body : answers) {
      const int connection = ::accept(listener, nullptr, nullptr);
      char buffer[4096];
      ssize_t got;
      std::string text;
      while (text.find("</SOAP-ENV:Envelope>") == std::string::npos && (got = ::read(connection, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(got));
      if (request.empty()) request = text;
      const std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " +
                                 std::to_string(body.size()) + "\r\n\r\n" + body;
      EXPECT_EQ(::write(connection, answer.data(), answer.size()), static_cast<ssize_t>(answer.size()));
      ::close(connection);
    }
  });
  const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/config";
  std::ostringstream out, err;
  EXPECT_EQ(KxrCli::Run("kxr-cli", {"-u", url, "read", "0x1018:1"}, "/s", out, err), kExitFailed);
  EXPECT_EQ(request.rfind("POST /config/KxrWebService/KxrWebService.dll HTTP/1.1\r\n", 0), 0u) << request;
  EXPECT_EQ(out.str(), "");
  EXPECT_NE(err.str().find("0xA03D0105 (-1606614779): Maximum amount of subcommands reached"), std::string::npos);
  EXPECT_EQ(KxrCli::Run("kxr-cli", {"-u", url, "read", "0x1018:1"}, "/s", out, err), kExitFailed);
  EXPECT_EQ(out.str(), "0x1018:0x01  0xECA60301 No such object or sub-index\n");
  server.join();
  ::close(listener);
}

}  // namespace
}  // namespace KxrCli
