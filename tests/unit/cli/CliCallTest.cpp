// kxr-cli's request documents and its reading of the daemon's answers, the
// documents being built by the daemon's own SOAP code; and one call over TCP
// to a fake front server.
#include <gtest/gtest.h>

#include <arpa/inet.h>
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

std::string Le32(uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }

// The daemon's parser finds every parameter of the envelope, and the write
// buffers are those of the worked examples of the web service.
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
    EXPECT_EQ(CSoap::ParseParameter(body, "indexGroup", group), 1);
    EXPECT_EQ(CSoap::ParseParameter(body, "indexOffset", count), 1);
    EXPECT_EQ(CSoap::ParseParameter(body, "cbRdLen", cbRdLen), 1);
    EXPECT_EQ(CSoap::ParseParameter(body, "nPort", port), 1);
    EXPECT_EQ(CSoap::ParseParameter(body, "pwrData", pwrData), 1);
    EXPECT_EQ(group, c.write ? 61569 : 61568);
    EXPECT_EQ(count, static_cast<int>(c.entries.size()));
    EXPECT_EQ(cbRdLen, c.cbRdLen);
    EXPECT_EQ(port, 0);
    if (!c.pwrData.empty()) {
      EXPECT_EQ(pwrData, c.pwrData);
    }
  }
}

TEST(CliCall, Answers) {
  const std::string reads = Le32(0) + Le32(4) + Le32(0xECA60301u) + Le32(0) + Le32(0xECA60102u) + Le32(2);
  Answer answer = ParseAnswer(CSoap::CreateResponse(Base64::encode(reads + "\x78\x56\x34\x12" + "ab")));
  ASSERT_EQ(answer.kind, Answer::Kind::kResult);
  std::vector<EntryResult> outcomes;
  std::string problem;
  ASSERT_TRUE(SplitResult(false, 3, answer.result, outcomes, problem)) << problem;
  EXPECT_EQ(outcomes[0].data, "\x78\x56\x34\x12");
  EXPECT_EQ(outcomes[1].code, 0xECA60301u);
  EXPECT_EQ(outcomes[2].data, "ab");

  answer = ParseAnswer(CSoap::CreateFaultString(static_cast<int>(0xECA60201u)));
  ASSERT_EQ(answer.kind, Answer::Kind::kFault);
  EXPECT_EQ(answer.faultCode, -324664831);
  const std::string message = FormatFault(answer.faultCode, answer.faultString);
  for (const char* part : {"0xECA60201", "-324664831", "Unknown error", "not running"})
    EXPECT_NE(message.find(part), std::string::npos) << message;

  for (const std::string& bad : {std::string("<html>502</html>"), CSoap::CreateResponse("!!!"),
                                 std::string("<faultcode>x</faultcode>")})
    EXPECT_EQ(ParseAnswer(bad).kind, Answer::Kind::kMalformed) << bad;

  // Results whose sizes disagree with the batch.
  const struct {
    bool write;
    std::size_t count;
    std::string result;
  } inconsistent[] = {
      {true, 2, Le32(0)},
      {true, 1, Le32(0) + Le32(0)},
      {false, 2, Le32(0) + Le32(0)},
      {false, 1, Le32(0) + Le32(5) + "abcd"},
      {false, 1, Le32(0) + Le32(1) + "ab"},
  };
  for (const auto& c : inconsistent) EXPECT_FALSE(SplitResult(c.write, c.count, c.result, outcomes, problem));
}

TEST(CliCall, UrlEndpoints) {
  const struct {
    const char* url;
    bool ok;
    const char* host;
    const char* port;
    const char* target;
  } cases[] = {
      {"", true, "", "", "/KxrWebService/KxrWebService.dll"},
      {"http://127.0.0.1:8080/", true, "127.0.0.1", "8080", "/KxrWebService/KxrWebService.dll"},
      {"http://dev", true, "dev", "80", "/KxrWebService/KxrWebService.dll"},
      {"http://[::1]:81/config/", true, "::1", "81", "/config/KxrWebService/KxrWebService.dll"},
      {"http://h/x/KxrWebService/KxrWebService.dll", true, "h", "80", "/x/KxrWebService/KxrWebService.dll"},
      {"https://h/", false, "", "", ""},
      {"http://:80/", false, "", "", ""},
      {"http://h:port/", false, "", "", ""},
  };
  for (const auto& c : cases) {
    Endpoint endpoint;
    std::string error;
    EXPECT_EQ(MakeEndpoint(c.url, "/s", endpoint, error), c.ok) << c.url;
    if (!c.ok) continue;
    EXPECT_EQ(endpoint.host, c.host) << c.url;
    EXPECT_EQ(endpoint.port, c.port) << c.url;
    EXPECT_EQ(endpoint.target, c.target) << c.url;
  }
}

// A front server on a loopback port that answers one request with a fault.
TEST(CliCall, FaultOverTcp) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), size), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
  std::string request;
  std::thread server([&] {
    const int connection = ::accept(listener, nullptr, nullptr);
    char buffer[4096];
    ssize_t got;
    while (request.find("</SOAP-ENV:Envelope>") == std::string::npos &&
           (got = ::read(connection, buffer, sizeof buffer)) > 0)
      request.append(buffer, static_cast<std::size_t>(got));
    const std::string fault = CSoap::CreateFaultString(static_cast<int>(0xA03D0105u));
    const std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " +
                               std::to_string(fault.size()) + "\r\n\r\n" + fault;
    EXPECT_EQ(::write(connection, answer.data(), answer.size()), static_cast<ssize_t>(answer.size()));
    ::close(connection);
  });
  std::ostringstream out, err;
  const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/config";
  EXPECT_EQ(KxrCli::Run("kxr-cli", {"-u", url, "read", "0x1018:1"}, "/s", out, err), kExitFailed);
  server.join();
  ::close(listener);
  EXPECT_EQ(request.rfind("POST /config/KxrWebService/KxrWebService.dll HTTP/1.1\r\n", 0), 0u) << request;
  EXPECT_EQ(out.str(), "");
  EXPECT_NE(err.str().find("0xA03D0105 (-1606614779): Maximum amount of subcommands reached"), std::string::npos)
      << err.str();
}

}  // namespace
}  // namespace KxrCli
