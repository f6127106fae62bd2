// The daemon against hostile clients. After each of them a normal request
// must still be answered, and the daemon must still be running.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "DaemonFixture.h"

namespace kxrtest {
namespace {

using namespace std::chrono_literals;

const std::string kIndex = "<html><body>index</body></html>\n";

class HostileClient : public DaemonFixture {
 protected:
  void SetUp() override {
    DaemonFixture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    Put("index.htm", kIndex);
    Put("big.bin", std::string(32u << 20, 'z'));
    mStart = StartServing({"-nofork"});
    ASSERT_TRUE(mStart.ready);
  }

  // The daemon lives and serves the index page.
  void ExpectServing() {
    ASSERT_TRUE(DaemonHarness::Alive(mStart.serving)) << mHarness.Output(mStart.launched);
    HttpAnswer answer;
    ASSERT_TRUE(ParseHttpAnswer(Send(Request("GET", "/")).bytes, answer));
    EXPECT_EQ(answer.body, kIndex);
  }

  DaemonStart mStart;
};

TEST_F(HostileClient, MalformedAndOversizedRequests) {
  std::string manyFields = "GET / HTTP/1.1\r\n";
  for (int i = 0; i < 600; ++i) manyFields += "F" + std::to_string(i) + ": v\r\n";
  manyFields += "\r\n";
  const std::string longTarget = "/" + std::string(7000, 'a');
  constexpr int kNothing = 0;  // the connection is closed without an answer
  constexpr int kAny = -1;     // an answer or nothing: the daemon survives either way
  const struct Row {
    const char* what;
    std::string request;
    int status;
  } rows[] = {
      {"header over 8 KiB", "GET / HTTP/1.1\r\nX: " + std::string(9000, 'h') + "\r\n\r\n", kNothing},
      {"several hundred short fields", manyFields, kAny},
      {"body over 1 MiB", RequestWithBody("POST", "/index.htm", std::string(1048577, 'b')), 413},
      {"control bytes in the target", "GET /a\x01\x7f" "b HTTP/1.1\r\n\r\n", kNothing},
      {"NUL in the target", std::string("GET /index.htm\0x HTTP/1.1\r\n\r\n", 29), kNothing},
      {"dot-dot", Request("GET", "/../../etc/passwd"), 404},
      {"dot-dot below config", Request("GET", "/config/../index.htm"), 404},
      {"encoded dot-dot", Request("GET", "/%2e%2e/%2e%2e/etc/passwd"), 404},
      {"very long target", Request("GET", longTarget), 404},
      {"target over the header limit", Request("GET", "/" + std::string(9000, 'a')), kNothing},
      {"method token of 8 KiB", std::string(8192, 'M') + " / HTTP/1.1\r\n\r\n", kNothing},
      {"long unknown method", std::string(100, 'M') + " / HTTP/1.1\r\n\r\n", 400},
      {"pipelined second request", Request("GET", "/index.htm") + Request("GET", "/../x"), 200},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const UnixReply reply = Send(row.request);
    EXPECT_TRUE(reply.closed);
    HttpAnswer answer;
    if (row.status == kNothing) {
      EXPECT_EQ(reply.bytes, "");
    } else if (row.status != kAny || !reply.bytes.empty()) {
      ASSERT_TRUE(ParseHttpAnswer(reply.bytes, answer)) << reply.bytes.substr(0, 200);  // exactly one answer
      if (row.status != kAny) {
        EXPECT_EQ(answer.status, row.status);
      }
      EXPECT_EQ(answer.body.find("root:"), std::string::npos);
    }
    ExpectServing();
  }
}

TEST_F(HostileClient, HundredIdleConnectionsHoldThePoolUntilOneLeaves) {
  std::vector<UnixStream> idle(100);
  for (UnixStream& s : idle) ASSERT_TRUE(s.Connect(DaemonHarness::SocketPath()));
  UnixStream extra;  // the 101st waits in the backlog: every worker is busy
  ASSERT_TRUE(extra.Connect(DaemonHarness::SocketPath()));
  ASSERT_TRUE(extra.Send(Request("GET", "/")));
  EXPECT_FALSE(extra.Readable(1s));
  idle.front().Close();  // frees one worker
  const UnixReply reply = extra.ReadUntilClose(5s);
  HttpAnswer answer;
  ASSERT_TRUE(ParseHttpAnswer(reply.bytes, answer)) << reply.bytes;
  EXPECT_EQ(answer.body, kIndex);
  idle.clear();
  ExpectServing();
}

TEST_F(HostileClient, SlowClientDoesNotHoldUpTheOthers) {
  UnixStream slow;
  ASSERT_TRUE(slow.Connect(DaemonHarness::SocketPath()));
  const std::string request = Request("GET", "/");
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(slow.Send(request.substr(static_cast<std::size_t>(i), 1)));
    ExpectServing();  // the other workers keep serving meanwhile
    std::this_thread::sleep_for(1s);
  }
  EXPECT_FALSE(slow.Readable(0ms));  // still waiting for the rest (the 60 s deadline cuts it)
}

TEST_F(HostileClient, ClientLeavingDuringALargeFile) {
  for (int i = 0; i < 3; ++i) {
    UnixStream s;
    ASSERT_TRUE(s.Connect(DaemonHarness::SocketPath()));
    ASSERT_TRUE(s.Send(Request("GET", "/big.bin")));
    ASSERT_TRUE(s.Readable(5s));
    s.Close();  // leaves with most of the 32 MiB unwritten
    ExpectServing();
  }
}

}  // namespace
}  // namespace kxrtest
