// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The accept, one send for gathered pieces and a full socket (file offsets and a gone peer: the daemon tests).
#include "ConnectionIo.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

using namespace KXRWebservice;

TEST(ConnectionIo, GathersPiecesIntoOneSendAndReportsAFullSocket) {
  int pair[2];
  char name[] = "/tmp/kxr-io-XXXXXX", got[16] = {};
  const int file = ::mkstemp(name);
  ASSERT_TRUE(file >= 0 && ::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0 && ::write(file, "0123456789", 10) == 10);
  ::unlink(name), ::fcntl(pair[0], F_SETFL, O_NONBLOCK);
  const iovec pieces[] = {{const_cast<char*>("head "), 5}, {const_cast<char*>("body"), 4}};
  EXPECT_EQ(send_gathered(pair[0], pieces, 2), 9);
  EXPECT_EQ(std::string(got, ::recv(pair[1], got, sizeof got, MSG_DONTWAIT)), "head body");
  static char big[1 << 16];
  const iovec full{big, sizeof big};
  while (send_gathered(pair[0], &full, 1) > 0) continue;
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_EQ(send_file_piece(pair[0], file, 0, 10), -1);  // not 0, which would end the answer
  EXPECT_EQ(errno, EAGAIN);
  for (const int fd : {pair[0], pair[1], file}) ::close(fd);
}

// accept4 on Linux and FreeBSD; accept and fcntl in the portable build.
TEST(ConnectionIoAccept, TakesAWaitingConnectionNonBlockingAndClosedOnExec) {
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "/tmp/kxr-accept-%d", static_cast<int>(::getpid()));
  ::unlink(address.sun_path);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4) | ::fcntl(listener, F_SETFL, O_NONBLOCK), 0);
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
