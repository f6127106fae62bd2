// The web service end to end: SOAP calls posted to the real daemon, executed
// against the service simulator, both started in the private environment.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "Base64.h"
#include "DaemonFixture.h"
#include "FakeService.h"
#include "KXRWeb.h"
#include "Settings.h"
#include "SumUpBuffers.h"

namespace kxrtest {
namespace {

#ifndef KXR_SIM_PATH
#error "KXR_SIM_PATH must name the service simulator"
#endif

const char kEndpoint[] = "/KxrWebService/KxrWebService.dll";
const char kDataOpen[] = "<ppRdData xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" dt:dt=\"string\">";

std::string FaultOf(int code) {
  return "<faultcode xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" dt:dt=\"string\">" + std::to_string(code) +
         "</faultcode><faultstring xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" dt:dt=\"string\">" +
         CKXRWeb::KXRWebErrCodeToErrMsg(code) + "</faultstring>";
}

class WebService : public DaemonFixture {
 protected:
  // Posts a call and returns the answer's document; checks status and type.
  static std::string Call(const std::string& body) {
    const UnixReply reply = Send(RequestWithBody("POST", kEndpoint, body));
    HttpAnswer answer;
    EXPECT_TRUE(ParseHttpAnswer(reply.bytes, answer)) << reply.bytes;
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.Field("Content-Type"), "text/xml");
    return answer.body;
  }

  // The decoded result of a successful call; fails the test on a fault.
  static std::string Result(const std::string& document) {
    const size_t open = document.find(kDataOpen);
    const size_t close = document.find("</ppRdData>");
    EXPECT_NE(open, std::string::npos) << document;
    if (open == std::string::npos || close == std::string::npos) return "";
    const size_t start = open + sizeof(kDataOpen) - 1;
    return Base64::decode(document.substr(start, close - start));
  }

};

TEST_F(WebService, ReadBatchWriteAndReadBack) {
  StartSimulator();
  StartServing({"-nofork"});
  // The maker code and the device name of the sample dictionary.
  const std::string reads = Header(0x1018, 1, 4) + Header(0x1008, 0, 8) + Header(0x7777, 1, 2);
  EXPECT_EQ(Result(Call(ReadWriteCall(61568, 3, 100, Base64::encode(reads)))),
            Record(0, 4) + Record(0, 8) + Record(0xECA60301u, 0) + "\x78\x56\x34\x12" + std::string("KXR-SIM\0", 8));

  const std::string writes = Header(0x2000, 1, 2) + Header(0x1018, 1, 4) + "\x34\x12" + "abcd";
  EXPECT_EQ(Result(Call(ReadWriteCall(61569, 2, 8, Base64::encode(writes)))), Le32(0) + Le32(0xECA60303u));
  EXPECT_EQ(Result(Call(ReadWriteCall(61568, 1, 10, Base64::encode(Header(0x2000, 1, 2))))),
            Record(0, 2) + "\x34\x12");
}

TEST_F(WebService, BatchOfThreeHundred) {
  StartSimulator();
  StartServing({"-nofork"});
  std::string reads, expected, data;
  for (int i = 0; i < 300; ++i) {
    reads += Header(0x2100, 0, 16);
    expected += Record(0, 16);
    data += std::string(16, '\0');
  }
  EXPECT_EQ(Result(Call(ReadWriteCall(61568, 300, 300 * 24, Base64::encode(reads)))), expected + data);
}

TEST_F(WebService, FaultsOfTheCall) {
  StartServing({"-nofork", "-v"});
  const std::string oneRead = Base64::encode(Header(0x1018, 1, 4));
  // No service socket: the client's code passes through with the generic text.
  const std::string absent = Call(ReadWriteCall(61568, 1, 12, oneRead));
  EXPECT_NE(absent.find(FaultOf(static_cast<int>(0xECA60201u))), std::string::npos) << absent;
  EXPECT_NE(absent.find(">-324664831<"), std::string::npos);
  EXPECT_NE(absent.find(">Unknown error<"), std::string::npos);
  // The whole fault document is logged in verbose mode.
  EXPECT_TRUE(mHarness.Syslog().WaitForText(absent, std::chrono::seconds(5)));
  // Base64 wrapped over lines is not Base64: the write buffer is invalid.
  const std::string pretty = Call(ReadWriteCall(61568, 1, 12, "\n    " + oneRead + "\n  "));
  EXPECT_NE(pretty.find(FaultOf(KXRWEB_ERR_INVALID_WRITEBUF)), std::string::npos) << pretty;
  // Not a ReadWrite call at all.
  const std::string other = Call("<m:ReadWrite><nPort>1</nPort></m:ReadWrite>");
  EXPECT_NE(other.find(FaultOf(KXRWEB_ERR_INVALID_SOAP)), std::string::npos) << other;
}

TEST_F(WebService, ServiceSocketWithNobodyListening) {
  ASSERT_TRUE(MakeDeadSocket());
  StartServing({"-nofork"});
  EXPECT_EQ(Result(Call(ReadWriteCall(61568, 1, 8, Base64::encode(Header(0x1018, 1, 4))))), Record(0xECA60200u, 0));
}

TEST_F(WebService, EmptyBodyGetsThePage) {
  StartServing({"-nofork"});
  HttpAnswer answer;
  ASSERT_TRUE(ParseHttpAnswer(Send(RequestWithBody("POST", kEndpoint, "")).bytes, answer));
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.Field("Content-Type"), "text/html");
  EXPECT_EQ(answer.body.size(), 100u);
}

}  // namespace
}  // namespace kxrtest
