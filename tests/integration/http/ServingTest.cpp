// The daemon as a whole: start-up, single instance, recovery, the socket,
// and what it answers on the wire.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "DaemonFixture.h"
#include "Settings.h"

namespace kxrtest {
namespace {

namespace fs = std::filesystem;
using Expected = std::vector<std::pair<int, std::string>>;  // priority, text

const char kPage[] =
    "<html>\n<head><title>LB/BSD KXR Webserver</title></head>\n<body>\n"
    "LB/BSD KXR Webserver\n</body>\n</html>\n";
const std::string kIndex = "<html><body>index</body></html>\n";

// A text/plain answer exactly as the daemon writes it.
std::string PlainAnswer(const std::string& statusLine, const std::string& body) {
  return "HTTP/1.1 " + statusLine + "\r\nConnection: close\r\nServer: Beast\r\n" +
         "Content-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class ServingTest : public DaemonFixture {
 protected:
  // The records so far as (priority, text), after checking that all come
  // from the daemon's ident at LOG_LOCAL0.
  Expected Logged() {
    EXPECT_TRUE(mHarness.Syslog().Sync());
    Expected seen;
    for (const auto& r : mHarness.Syslog().Records()) {
      EXPECT_EQ(r.ident, "KXRWebServer") << r.text;
      EXPECT_EQ(r.facility, LOG_LOCAL0 >> 3) << r.text;
      seen.emplace_back(r.priority, r.text);
    }
    return seen;
  }

  void Reset() {
    std::string why;
    ASSERT_TRUE(mHarness.Reset(why)) << why;
  }
};

TEST_F(ServingTest, StartupMessagesAndPidFileInEveryMode) {
  struct Case {
    const char* name;
    std::string argv0;  // empty: the executable's path
    std::vector<std::string> args;
    bool fork, verbose;
  };
  const Case cases[] = {
      {"plain, foreground", "", {"-nofork"}, false, false},
      {"verbose, short words", "", {"/v", "-nof"}, false, true},
      {"verbose, long words", "", {"-verbose", "/nofork"}, false, true},
      {"words compared whole", "", {"-V", "--verbose", "-nofork=1", "/NOF"}, true, false},
      {"program name counts", "-v", {"/nof"}, false, true},
      {"plain, detached", "", {}, true, false},
      {"verbose, detached", "", {"/verbose"}, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    StartOptions options;
    options.argv0 = c.argv0;
    const DaemonStart start = StartServing(c.args, options);
    ASSERT_TRUE(start.ready);
    EXPECT_EQ(start.launchedExited, c.fork);
    if (c.fork) {
      EXPECT_TRUE(WIFEXITED(start.launchedStatus) && WEXITSTATUS(start.launchedStatus) == 0);
      EXPECT_NE(start.serving, start.launched);
      EXPECT_EQ(ReadText(DaemonHarness::PidFilePath()), std::to_string(start.serving));
    } else {
      EXPECT_EQ(start.serving, start.launched);
      EXPECT_TRUE(fs::exists(DaemonHarness::PidFilePath()));
      EXPECT_EQ(ReadText(DaemonHarness::PidFilePath()), "");
    }

    Expected want;
    if (c.verbose) {
      ASSERT_TRUE(mHarness.Syslog().WaitForText("listening...", std::chrono::seconds(5)));
      want = {{LOG_NOTICE, c.fork ? "CDaemon: Do fork" : "CDaemon: Do NOT fork"},
              {LOG_NOTICE, "CDaemon: Daemon started"},
              {LOG_NOTICE, "KXRWebServer started."},
              {LOG_NOTICE, "Main: -Verbose Mode: Enabled"},
              {LOG_NOTICE, std::string("socket: ") + KxrSettings::kSocketPath},
              {LOG_NOTICE, std::string("root: ") + KxrSettings::kDocRoot},
              {LOG_NOTICE, "num_workers: 100"},
              {LOG_NOTICE, "spin: 0"},
              {LOG_NOTICE, "listening..."}};
    } else {
      // Once a request is answered the loop runs: start-up has said all.
      EXPECT_EQ(Send(Request("GET", "/none")).bytes, PlainAnswer("404 Not Found", "File not found\r\n"));
      want = {{LOG_NOTICE, "KXRWebServer started."}};
    }
    EXPECT_EQ(Logged(), want);
    // Every line after the fork comes from the detached process.
    const auto records = mHarness.Syslog().Records();
    for (std::size_t i = 0; i < records.size(); ++i)
      EXPECT_EQ(records[i].pid, i == 0 && c.fork && c.verbose ? start.launched : start.serving)
          << records[i].text;
  }
}

TEST_F(ServingTest, SecondInstanceIsRefusedInBothModes) {
  const std::vector<std::string> foreground = {"-nofork"}, detached = {};
  const std::pair<std::vector<std::string>, std::vector<std::string>> cases[] = {
      {foreground, detached}, {detached, foreground}};
  for (const auto& [first, second] : cases) {
    SCOPED_TRACE(first.empty() ? "first detached" : "first in the foreground");
    Reset();
    const DaemonStart running = StartServing(first);
    ASSERT_TRUE(running.ready);
    const std::string pidFile = ReadText(DaemonHarness::PidFilePath());
    mHarness.Syslog().Sync();
    mHarness.Syslog().Clear();

    const DaemonStart refused = mHarness.Start(second);
    ASSERT_TRUE(refused.launchedExited);
    EXPECT_TRUE(WIFEXITED(refused.launchedStatus) && WEXITSTATUS(refused.launchedStatus) == 1);
    EXPECT_EQ(Logged(), (Expected{{LOG_NOTICE, "KXRWebServer is already running!"}}));
    EXPECT_TRUE(DaemonHarness::Alive(running.serving));
    EXPECT_EQ(ReadText(DaemonHarness::PidFilePath()), pidFile);
    EXPECT_EQ(Send(Request("GET", "/none")).bytes, PlainAnswer("404 Not Found", "File not found\r\n"));
  }
}

TEST_F(ServingTest, KilledRunLeavesFilesThatTheNextStartRecovers) {
  const DaemonStart first = StartServing({"-nofork"});
  ASSERT_TRUE(first.ready);
  int status = 0;
  ASSERT_TRUE(mHarness.Kill(first.serving, SIGTERM, status));
  // No handler: the default action ends it, and it leaves everything behind.
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  EXPECT_TRUE(fs::is_socket(DaemonHarness::SocketPath()));
  EXPECT_TRUE(fs::exists(DaemonHarness::PidFilePath()));

  const DaemonStart second = StartServing({});
  ASSERT_TRUE(second.ready);
  EXPECT_EQ(ReadText(DaemonHarness::PidFilePath()), std::to_string(second.serving));
  Put("index.htm", kIndex);
  HttpAnswer answer;
  ASSERT_TRUE(ParseHttpAnswer(Send(Request("GET", "/")).bytes, answer));
  EXPECT_EQ(answer.body, kIndex);
}

TEST_F(ServingTest, StartFailuresExitWithOneAndSayWhy) {
  const std::string dir = DaemonHarness::SocketDir();
  struct Case {
    const char* name;
    std::function<void()> arrange;
    Expected logged;
    std::function<void()> left;  // what the failure leaves on disk
  };
  const Case cases[] = {
      {"socket directory holds another file",
       [&] {
         fs::create_directories(dir);
         std::ofstream(dir + "/other") << "x";
       },
       {{LOG_ERR, "Could not delete socket directory!"}},
       [&] { EXPECT_TRUE(fs::exists(dir + "/other")); }},
      {"socket directory is a plain file", [&] { std::ofstream(dir) << "x"; },
       {{LOG_ERR, "Could not delete socket file!"}}, [] {}},
      {"socket group missing",
       [&] {
         std::string why;
         ASSERT_TRUE(mHarness.SetGroupPresent(false, why)) << why;
       },
       {{LOG_NOTICE, "KXRWebServer started."}, {LOG_ERR, std::string("Group was not found by name: ") + KxrSettings::kSocketGroup}},
       [] { EXPECT_TRUE(fs::is_socket(DaemonHarness::SocketPath())); }},
      {"run directory read-only",
       [&] {
         std::string why;
         ASSERT_TRUE(mHarness.SetRunReadOnly(true, why)) << why;
       },
       {{LOG_WARNING, "CDaemon: Cannot create pidfile!"},
        {LOG_ERR, "Could not delete socket directory!"}},
       [] {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    c.arrange();
    const DaemonStart start = mHarness.Start({"-nofork"});
    ASSERT_TRUE(start.launchedExited) << mHarness.Output(start.launched);
    EXPECT_TRUE(WIFEXITED(start.launchedStatus) && WEXITSTATUS(start.launchedStatus) == 1)
        << mHarness.Output(start.launched);
    EXPECT_EQ(Logged(), c.logged);
    // The daemon object gives its pid file up on every failure path.
    EXPECT_FALSE(fs::exists(DaemonHarness::PidFilePath()));
    c.left();
  }
}

TEST_F(ServingTest, SocketHasItsGroupAndModes) {
  StartOptions options;
  options.umask = 027;
  ASSERT_TRUE(StartServing({"-nofork"}, options).ready);
  struct stat st;
  ASSERT_EQ(::stat(DaemonHarness::SocketPath().c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0660u);
  EXPECT_EQ(st.st_gid, mHarness.GroupId());
  ASSERT_EQ(::stat(DaemonHarness::SocketDir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0750u);  // 0755 less the umask
  ASSERT_EQ(::stat(DaemonHarness::PidFilePath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(ServingTest, FilesComeWithTheirContentTypes) {
  std::string binary(300000, '\0');
  for (std::size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 7 % 251);
  const std::pair<std::string, std::string> files[] = {
      {"/index.htm", "text/html"},        {"/LOGO.PNG", "image/png"},
      {"/css/Site.Css", "text/css"},      {"/readme", "application/text"},
      {"/archive.tar.gz", "application/text"}, {"/dir.d/file", "application/text"},
      {"/big.bin", "application/text"},
  };
  for (const auto& [path, type] : files) Put(path, path == "/big.bin" ? binary : "content of " + path);
  ASSERT_TRUE(StartServing({"-nofork"}).ready);
  for (const auto& [path, type] : files) {
    SCOPED_TRACE(path);
    HttpAnswer answer;
    ASSERT_TRUE(ParseHttpAnswer(Send(Request("GET", path)).bytes, answer));
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.reason, "OK");
    using Fields = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(answer.fields, (Fields{{"Connection", "close"},
                                     {"Server", "Beast"},
                                     {"Content-Type", type},
                                     {"Content-Length", std::to_string(answer.body.size())}}));
    EXPECT_EQ(answer.body, path == "/big.bin" ? binary : "content of " + path);
  }
}

TEST_F(ServingTest, RoutingAndPlainAnswers) {
  Put("index.htm", kIndex);
  Put("x.htm", "x");
  Put("a.htm", "a");
  Put("a.htm?x", "a with query");
  Put("a/..b", "dots");
  Put("sub/inner.htm", "inner");
  // Opening a FIFO for reading would stall the daemon's only thread.
  ASSERT_EQ(::mkfifo(DaemonHarness::DocPath("pipe").c_str(), 0644), 0);
  const std::string notFound = PlainAnswer("404 Not Found", "File not found\r\n");
  // An expected body starting with "HTTP/" is the whole answer, byte for byte.
  struct Case {
    std::string request;
    std::string body;
    const char* type;
  };
  const Case cases[] = {
      {Request("GET", "/"), kIndex, "text/html"},
      {Request("GET", "/config"), kIndex, "text/html"},
      {Request("GET", "/config/"), kIndex, "text/html"},
      {Request("GET", "/config/index.htm"), kIndex, "text/html"},
      {Request("GET", "/index.htm?v=2"), kIndex, "text/html"},
      {RequestWithBody("POST", "/index.htm", "ignored"), kIndex, "text/html"},
      {Request("GET", "/a.htm?x?y"), "a with query", "application/text"},
      {Request("GET", "/configx.htm"), notFound, nullptr},
      {Request("GET", "/?x"), notFound, nullptr},
      {Request("GET", "/config?x"), notFound, nullptr},
      {Request("GET", "/a.htm?.."), notFound, nullptr},
      {Request("GET", "/../etc/passwd"), notFound, nullptr},
      {Request("GET", "/a/..b"), notFound, nullptr},
      {Request("GET", "/missing.htm"), notFound, nullptr},
      {Request("GET", "/sub"), notFound, nullptr},
      {Request("GET", "/sub/"), notFound, nullptr},
      {Request("GET", "/config/sub"), notFound, nullptr},
      {Request("GET", "/kxrwebservice/kxrwebservice.dll"), notFound, nullptr},
      {Request("HEAD", "/index.htm"),
       PlainAnswer("400 Bad Request", "Invalid request-method 'HEAD'\r\n"), nullptr},
      {Request("PUT", "/index.htm"),
       PlainAnswer("400 Bad Request", "Invalid request-method 'PUT'\r\n"), nullptr},
      {Request("FROB", "/index.htm"),
       PlainAnswer("400 Bad Request", "Invalid request-method 'FROB'\r\n"), nullptr},
      {Request("GET", "/config/KxrWebService/KxrWebService.dll"), kPage, "text/html"},
      {Request("POST", "/any/prefix/KxrWebService/KxrWebService.dll?x"), kPage, "text/html"},
      {Request("GET", "/pipe"), notFound, nullptr},
  };
  ASSERT_TRUE(StartServing({"-nofork"}).ready);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    const UnixReply reply = Send(c.request);
    EXPECT_TRUE(reply.closed);
    if (c.type == nullptr) {
      EXPECT_EQ(reply.bytes, c.body);
      continue;
    }
    HttpAnswer answer;
    ASSERT_TRUE(ParseHttpAnswer(reply.bytes, answer)) << reply.bytes;
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.Field("Content-Type"), c.type);
    EXPECT_EQ(answer.body, c.body);
  }
  // A call with a body goes to the web service, which answers with a document.
  HttpAnswer answer;
  ASSERT_TRUE(ParseHttpAnswer(
      Send(RequestWithBody("POST", "/KxrWebService/KxrWebService.dll", "<x/>")).bytes, answer));
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.Field("Content-Type"), "text/xml");
  EXPECT_NE(answer.body.find("<SOAP-ENV:Fault>"), std::string::npos) << answer.body;
}

TEST_F(ServingTest, RequestLimitsAndOneRequestPerConnection) {
  Put("index.htm", kIndex);
  const DaemonStart start = StartServing({"-nofork", "-v"});
  ASSERT_TRUE(start.ready);
  std::string manyFields = "GET /index.htm HTTP/1.1\r\nHost: localhost\r\n";
  for (int i = 0; i < 600; ++i) manyFields += "X: " + std::to_string(i % 10) + "\r\n";
  manyFields += "\r\n";
  const std::string tooLarge =
      "POST /index.htm HTTP/1.1\r\nHost: localhost\r\nContent-Length: 1048577\r\n\r\n" +
      std::string(1000, 'b');
  const std::string pipelined = Request("GET", "/index.htm") + Request("GET", "/index.htm");
  const std::string served = "served";  // stands for a 200 answer with the index page
  const std::pair<std::string, std::string> cases[] = {
      {RequestWithBody("POST", "/index.htm", std::string(1048576, 'b')), served},
      {tooLarge, PlainAnswer("413 Payload Too Large", "Request payload too large!\r\n")},
      {"GET / HTTP/1.1\r\nX-Big: " + std::string(7000, 'h') + "\r\n\r\n", served},
      {"GET / HTTP/1.1\r\nX-Big: " + std::string(9000, 'h') + "\r\n\r\n", ""},
      {pipelined, served},
      // Several hundred short fields overflow the header arena, not the header
      // limit: that one connection may be closed, but the service lives on.
      {manyFields, "served or nothing"},
  };
  for (const auto& [request, want] : cases) {
    SCOPED_TRACE(request.substr(0, 60));
    const UnixReply reply = Send(request);
    EXPECT_TRUE(reply.closed);
    HttpAnswer answer;
    const bool wasServed = ParseHttpAnswer(reply.bytes, answer) && answer.status == 200 &&
                           answer.body == kIndex;
    if (want == served)
      EXPECT_TRUE(wasServed) << reply.bytes.substr(0, 300);
    else if (want == "served or nothing")
      EXPECT_TRUE(wasServed || reply.bytes.empty()) << reply.bytes.substr(0, 300);
    else
      EXPECT_EQ(reply.bytes, want);
    ASSERT_TRUE(DaemonHarness::Alive(start.serving)) << mHarness.Output(start.launched);
    ASSERT_TRUE(ParseHttpAnswer(Send(Request("GET", "/")).bytes, answer));
    EXPECT_EQ(answer.body, kIndex);
  }
  EXPECT_TRUE(mHarness.Syslog().WaitForText("Request payload too large!", std::chrono::seconds(1)));
}

}  // namespace
}  // namespace kxrtest
