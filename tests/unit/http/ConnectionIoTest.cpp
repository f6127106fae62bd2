// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
#include "ConnectionIo.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

using namespace KXRWebservice;

namespace {

// Reads what the peer has now, without waiting.
std::string Drain(int fd) {
  std::string got;
  char buffer[65536];
  ssize_t n;
  while ((n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) got.append(buffer, static_cast<std::size_t>(n));
  return got;
}

class ConnectionIo : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ASSERT_EQ(::fcntl(pair[0], F_SETFL, O_NONBLOCK), 0);
    char name[] = "/tmp/kxr-io-XXXXXX";
    file = ::mkstemp(name);
    ASSERT_GE(file, 0);
    ::unlink(name);
    ASSERT_EQ(::write(file, "0123456789", 10), 10);
  }
  void TearDown() override {
    ::close(pair[0]);
    if (pair[1] >= 0) ::close(pair[1]);
    ::close(file);
  }
  int pair[2] = {-1, -1};
  int file = -1;
};

}  // namespace

TEST_F(ConnectionIo, SendsFilePiecesFromTheirOffsetAndStopsAtTheEnd) {
  EXPECT_EQ(send_file_piece(pair[0], file, 3, 4), 4);
  EXPECT_EQ(send_file_piece(pair[0], file, 8, 100), 2);
  EXPECT_EQ(send_file_piece(pair[0], file, 10, 100), 0);
  EXPECT_EQ(Drain(pair[1]), "345689");
}

TEST_F(ConnectionIo, GathersPiecesIntoOneSendAndReportsAFullSocket) {
  const iovec pieces[] = {{const_cast<char*>("head "), 5}, {const_cast<char*>("body"), 4}};
  EXPECT_EQ(send_gathered(pair[0], pieces, 2), 9);
  EXPECT_EQ(Drain(pair[1]), "head body");

  static char big[1 << 16];
  const iovec full{big, sizeof big};
  while (send_gathered(pair[0], &full, 1) > 0) {
  }
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_EQ(send_file_piece(pair[0], file, 0, 10), -1);
  EXPECT_EQ(errno, EAGAIN);
}

TEST_F(ConnectionIo, APeerGoneIsAnErrorNotASignal) {
  // The daemon ignores SIGPIPE; so does this test, as the file send has no flag against it.
  ::signal(SIGPIPE, SIG_IGN);
  ::close(pair[1]);
  pair[1] = -1;
  const iovec piece{const_cast<char*>("x"), 1};
  EXPECT_EQ(send_gathered(pair[0], &piece, 1), -1);
  EXPECT_EQ(errno, EPIPE);
  EXPECT_EQ(send_file_piece(pair[0], file, 0, 10), -1);
  EXPECT_EQ(errno, EPIPE);
}

TEST(ConnectionIoAccept, TakesAWaitingConnectionNonBlockingAndClosedOnExec) {
  // accept4 on Linux and FreeBSD; accept and fcntl in the portable build.
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "/tmp/kxr-accept-%d", static_cast<int>(::getpid()));
  ::unlink(address.sun_path);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  ASSERT_EQ(::fcntl(listener, F_SETFL, O_NONBLOCK), 0);
  EXPECT_EQ(accept_connection(listener), -1);
  EXPECT_EQ(errno, EAGAIN);

  const int client = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const int fd = accept_connection(listener);
  ASSERT_GE(fd, 0);
  EXPECT_NE(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  for (const int open : {fd, client, listener}) ::close(open);
  ::unlink(address.sun_path);
}
