// The site configuration of contrib/nginx in real nginx, in front of the real
// daemon and the service simulator: pages and ReadWrite calls arrive over
// TCP and go through to the daemon's socket. nginx runs as a child of the
// test (root master, workers as nobody with the socket group) with its
// configuration in the private /run.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "Base64.h"
#include "DaemonFixture.h"
#include "FakeService.h"
#include "Settings.h"
#include "SumUpBuffers.h"

namespace kxrtest {
namespace {

#if !defined(KXR_SIM_PATH) || !defined(KXR_NGINX_SITE)
#error "KXR_SIM_PATH and KXR_NGINX_SITE must be defined"
#endif

const char kNginx[] = "/usr/sbin/nginx";
const char kWork[] = "/run/kxr-nginx";
const char kPage[] = "<!DOCTYPE html><title>pages</title><p>device pages</p>\n";

// A ReadWrite envelope carrying the raw write buffer data.
std::string Envelope(int group, int count, int cbRdLen, const std::string& data) {
  return ReadWriteCall(group, count, cbRdLen, Base64::encode(data));
}

// A free loopback port at the time of asking.
int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = -1;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  ::close(fd);
  return port;
}

// A connection to a loopback port; -1 when refused.
int ConnectLoopback(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
  ::close(fd);
  return -1;
}

// One request over TCP; the whole answer, read until nginx closes.
std::string TcpExchange(int port, const std::string& request) {
  const int fd = ConnectLoopback(port);
  if (fd < 0) return "";
  timeval tv{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string answer;
  if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    char buf[4096];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) answer.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return answer;
}

class FrontServer : public DaemonFixture {
 protected:
  void SetUp() override {
    if (::access(kNginx, X_OK) != 0) GTEST_SKIP() << "nginx is not installed (Debian package nginx)";
    DaemonFixture::SetUp();
  }

  void TearDown() override {
    if (mNginx > 0) {
      ::kill(mNginx, SIGTERM);
      ::waitpid(mNginx, nullptr, 0);
    }
    DaemonFixture::TearDown();
  }

  // Starts nginx with the repository's site on a free port and waits for it.
  void StartNginx() {
    std::ifstream in(KXR_NGINX_SITE);
    std::stringstream site;
    site << in.rdbuf();
    std::string text = site.str();
    const std::string listen = "listen 127.0.0.1:8080;";
    const size_t at = text.find(listen);
    ASSERT_NE(at, std::string::npos) << "the site does not listen on 127.0.0.1:8080";
    mPort = FreePort();
    ASSERT_GT(mPort, 0);
    text.replace(at, listen.size(), "listen 127.0.0.1:" + std::to_string(mPort) + ";");

    const std::string work = kWork;
    ASSERT_EQ(::mkdir(kWork, 0755), 0);
    std::ofstream(work + "/site.conf") << text;
    std::ofstream(work + "/nginx.conf")
        << "user nobody " << KxrSettings::kSocketGroup << ";\nworker_processes 1;\ndaemon off;\n"
        << "pid " << work << "/nginx.pid;\nerror_log " << work << "/error.log warn;\n"
        << "events { worker_connections 64; }\nhttp {\n  access_log off;\n"
        << "  client_body_temp_path " << work << "/body;\n  proxy_temp_path " << work << "/proxy;\n"
        << "  fastcgi_temp_path " << work << "/fastcgi;\n  uwsgi_temp_path " << work << "/uwsgi;\n"
        << "  scgi_temp_path " << work << "/scgi;\n  include " << work << "/site.conf;\n}\n";
    const std::string errors = work + "/error.log", config = work + "/nginx.conf";
    mNginx = ::fork();
    ASSERT_GE(mNginx, 0);
    if (mNginx == 0) {
      ::execl(kNginx, kNginx, "-e", errors.c_str(), "-c", config.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (int i = 0; i < 500; ++i) {
      const int fd = ConnectLoopback(mPort);
      if (fd >= 0) {
        ::close(fd);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::ifstream log(errors);
    std::stringstream why;
    why << log.rdbuf();
    FAIL() << "nginx did not come up:\n" << why.str();
  }

  // One request through nginx, parsed.
  HttpAnswer Fetch(const std::string& method, const std::string& target, const std::string& body = "") {
    std::string request = method + " " + target + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n";
    if (method == "POST")
      request += "Content-Type: text/xml\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    const std::string raw = TcpExchange(mPort, request + "\r\n" + body);
    HttpAnswer answer;
    EXPECT_TRUE(ParseHttpAnswer(raw, answer)) << raw;
    return answer;
  }

  // The decoded result of a call through nginx; fails the test on a fault.
  std::string Call(const std::string& envelope) {
    const HttpAnswer answer = Fetch("POST", "/KxrWebService/KxrWebService.dll", envelope);
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.Field("Content-Type"), "text/xml");
    const std::string open = "dt:dt=\"string\">";
    const size_t start = answer.body.find("<ppRdData");
    const size_t end = answer.body.find("</ppRdData>");
    EXPECT_NE(start, std::string::npos) << answer.body;
    if (start == std::string::npos || end == std::string::npos) return "";
    const size_t text = answer.body.find(open, start) + open.size();
    return Base64::decode(answer.body.substr(text, end - text));
  }

  pid_t mNginx = -1;
  int mPort = -1;
};

TEST_F(FrontServer, PagesGoThroughToTheDocumentRoot) {
  StartServing({"-nofork"});
  Put("index.htm", kPage);
  StartNginx();
  const struct {
    const char* target;
    int status;
    std::string body;
  } cases[] = {
      {"/", 200, kPage},
      {"/config/", 200, kPage},
      {"/index.htm?v=2", 200, kPage},
      {"/missing.htm", 404, "File not found\r\n"},
  };
  for (const auto& c : cases) {
    const HttpAnswer answer = Fetch("GET", c.target);
    EXPECT_EQ(answer.status, c.status) << c.target;
    EXPECT_EQ(answer.body, c.body) << c.target;
    if (c.status == 200) {
      EXPECT_EQ(answer.Field("Content-Type"), "text/html") << c.target;
    }
    EXPECT_EQ(answer.Field("Cache-Control"), "no-store") << c.target;
  }
}

TEST_F(FrontServer, SumUpReadAndWriteThroughNginx) {
  StartSimulator();
  StartServing({"-nofork"});
  StartNginx();
  const std::string reads = Header(0x1018, 1, 4) + Header(0x1008, 0, 8);
  EXPECT_EQ(Call(Envelope(61568, 2, 100, reads)),
            Le32(0) + Le32(4) + Le32(0) + Le32(8) + "\x78\x56\x34\x12" + std::string("KXR-SIM\0", 8));
  // A write to a writable and to a read-only entry, then the read-back.
  const std::string writes = Header(0x2000, 1, 2) + Header(0x1018, 1, 4) + "\x34\x12" + "abcd";
  EXPECT_EQ(Call(Envelope(61569, 2, 8, writes)), Le32(0) + Le32(0xECA60303u));
  EXPECT_EQ(Call(Envelope(61568, 1, 10, Header(0x2000, 1, 2))), Le32(0) + Le32(2) + "\x34\x12");
}

TEST_F(FrontServer, FaultsAndLargeBodies) {
  StartServing({"-nofork"});
  StartNginx();
  // Without the service the fault passes through nginx unchanged.
  const HttpAnswer fault = Fetch("POST", "/KxrWebService/KxrWebService.dll", Envelope(61568, 1, 12, Header(0x1018, 1, 4)));
  EXPECT_EQ(fault.status, 200);
  EXPECT_NE(fault.body.find(">-324664831</faultcode>"), std::string::npos) << fault.body;
  // A body of exactly 1 MiB reaches the daemon; one byte more is refused.
  EXPECT_EQ(Fetch("POST", "/KxrWebService/KxrWebService.dll", std::string(1 << 20, 'x')).status, 200);
  EXPECT_EQ(Fetch("POST", "/KxrWebService/KxrWebService.dll", std::string((1 << 20) + 1, 'x')).status, 413);
}

}  // namespace
}  // namespace kxrtest
