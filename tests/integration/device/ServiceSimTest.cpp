// kxr-service-sim with its sample dictionary, driven through the client on
// the real socket path inside the test's private /run.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>

#include "FakeService.h"
#include "KxrApiBSD.h"
#include "PrivateMounts.h"

using namespace kxrtest;

namespace {

const std::string kPath = KxrSettings::kServiceSocketPath;

// A connected socket to the service, or -1.
int ConnectRaw() {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, kPath.c_str());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

// Sends raw bytes on their own connection and returns whatever comes back before the service closes.
std::string RawExchange(const std::string& bytes) {
  const int fd = ConnectRaw();
  if (fd < 0) return "(no connection)";
  ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  ::shutdown(fd, SHUT_WR);
  std::string answer;
  char buf[256];
  pollfd p{fd, POLLIN, 0};
  ssize_t n;
  while (::poll(&p, 1, 5000) > 0 && (n = ::recv(fd, buf, sizeof buf, 0)) > 0)
    answer.append(buf, static_cast<std::size_t>(n));
  ::close(fd);
  return answer;
}

class ServiceSim : public ::testing::Test {
 protected:
  void SetUp() override {
    KXR_REQUIRE_PRIVATE_RUN();
    ASSERT_TRUE(MakeDeadSocket());  // a stale socket the simulator must replace
  }
  void TearDown() override {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_NE(::access(kPath.c_str(), F_OK), 0) << "socket left behind";
  }
  // Starts the simulator; true once it accepts connections.
  bool Start(const char* dictionary = nullptr) {
    pid_ = ::fork();
    if (pid_ == 0) {
      ::execl(KXR_SIM_PATH, KXR_SIM_PATH, dictionary, static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (int i = 0; i < 1000; ++i) {
      if (::waitpid(pid_, &exitStatus_, WNOHANG) == pid_) {
        pid_ = 0;
        return false;
      }
      const int fd = ConnectRaw();
      if (fd >= 0) {
        ::close(fd);
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  pid_t pid_ = 0;
  int exitStatus_ = 0;
};

TEST_F(ServiceSim, ReadsAndWritesItsDictionary) {
  ASSERT_TRUE(Start());
  std::string got;
  auto read = [&](uint16_t index, uint8_t sub, std::size_t cb) {
    return [&got, index, sub, cb] {
      got.assign(cb, '\0');
      uint64_t n = 0;
      const uint64_t rc = KXRSyncRead(index, sub, 0, cb, &got[0], &n);
      got.resize(n);
      return rc;
    };
  };
  auto write = [&](uint16_t index, uint8_t sub, std::string data) {
    return [&got, index, sub, data] {
      got.clear();
      return KXRSyncWrite(index, sub, 0, data.size(), data.data());
    };
  };
  const struct {
    const char* what;
    std::function<uint64_t()> call;
    uint64_t rc;
    std::string data;
  } cases[] = {
      {"read", read(0x1018, 1, 4), 0, "\x78\x56\x34\x12"},
      {"read of fewer bytes than held", read(0x1008, 0, 3), KXR_ERR_BUFFER_TOO_SMALL, "KXR"},
      {"read of more bytes than held", read(0x1009, 0, 16), 0, std::string("1.0\0", 4)},
      {"unknown sub-index", read(0x1018, 9, 4), 0xECA60301u, ""},
      {"unknown object", read(0x7777, 0, 4), 0xECA60301u, ""},
      {"write", write(0x2000, 2, "\x01\x02\x03\x04"), 0, ""},
      {"read back", read(0x2000, 2, 4), 0, "\x01\x02\x03\x04"},
      {"write of the wrong size", write(0x2000, 2, "\x05\x06"), 0xECA60302u, ""},
      {"write to a read-only entry", write(0x1018, 1, "\x05\x06\x07\x08"), 0xECA60303u, ""},
      {"read of several answer pieces", read(0x2100, 1, 600), 0, std::string(600, '\0')},
      {"write and read in one", [&] {
         got.assign(1, '\0');
         uint64_t n = 0;
         return KXRSyncReadWrite(0x2000, 3, 0, 1, "\x07", 1, &got[0], &n);
       }, 0, "\x07"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.call(), c.rc) << c.what;
    EXPECT_EQ(got, c.data) << c.what;
  }
}

TEST_F(ServiceSim, DescribesItsDictionary) {
  ASSERT_TRUE(Start());
  char list[64];
  uint64_t cbList = sizeof list;
  EXPECT_EQ(KXRSyncGetODList(0, &cbList, list), 0u);
  EXPECT_EQ(std::string(list, cbList),
            Le16(0x1000) + Le16(0x1008) + Le16(0x1009) + Le16(0x1018) + Le16(0x2000) + Le16(0x2100) + Le16(0x6000));

  uint8_t count = 0, readOnly = 0;
  uint16_t highest = 0;
  char name[16];
  uint64_t cbName = sizeof name;
  EXPECT_EQ(KXRSyncGetObjectDescription(0x1018, 0, &count, &highest, &readOnly, name, &cbName), 0u);
  EXPECT_EQ(std::string(name, cbName), "Identity");
  EXPECT_EQ(count * 100 + highest * 10 + readOnly, 541);
  cbName = 4;
  EXPECT_EQ(KXRSyncGetObjectDescription(0x1018, 0, nullptr, nullptr, nullptr, name, &cbName), KXR_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(std::string(name, cbName), "Iden");
  EXPECT_EQ(KXRSyncGetObjectDescription(0x7777, 0, nullptr, nullptr, nullptr, name, &cbName), 0xECA60301u);

  std::string desc = Le64(64) + std::string(56, '\xCC');
  EXPECT_EQ(KXRSyncGetEntryDescription(0x2000, 2, 0, &desc[0]), 0u);
  EXPECT_EQ(desc.substr(10, 3), Le16(4) + '\0');
  EXPECT_EQ(KXRSyncGetEntryDescription(0x2000, 9, 0, &desc[0]), 0xECA60301u);
}

TEST_F(ServiceSim, SurvivesMalformedRequests) {
  ASSERT_TRUE(Start());
  const std::string head = Le64(24) + Le64(24);
  const struct {
    const char* what;
    std::string bytes;
    std::string answer;  // empty: the connection is closed unanswered
  } cases[] = {
      {"nothing", "", ""},
      {"total below the head", Le64(5), ""},
      {"huge total", Le64(1ull << 40) + Le64(24) + Le64(24), ""},
      {"cut short", Le64(100) + std::string(30, '\0'), ""},
      {"input offset not 24", Le64(24) + Le64(25) + Le64(24), ""},
      {"output offset past the end", Le64(24) + Le64(24) + Le64(25), ""},
      {"unknown kind", Le64(42) + Le64(24) + Le64(42) + Le16(9) + std::string(16, '\0'), ""},
      {"both areas empty", Le64(24) + head, ""},
      {"data length disagrees", Le64(44) + Le64(24) + Le64(44) + EntryHead(~0ull, 5, 0x2000, 2) + "ab",
       EntryAnswer(FakeDictionary::kBadRequest, "", 0x2000, 2)},
  };
  for (const auto& c : cases) EXPECT_EQ(RawExchange(c.bytes), c.answer) << c.what;
  char buf[4];
  uint64_t cb = 0;
  EXPECT_EQ(KXRSyncRead(0x1018, 1, 0, 4, buf, &cb), 0u) << "still serving";
}

TEST_F(ServiceSim, RefusesABadDictionary) {
  const std::string file = "/run/bad-dictionary.txt";
  std::ofstream(file) << "entry 1000 00 ro 01\nentry 1000 01 xx 02\n";
  EXPECT_FALSE(Start(file.c_str()));
  EXPECT_TRUE(WIFEXITED(exitStatus_) && WEXITSTATUS(exitStatus_) == 1);
}

}  // namespace
