// The 60-second deadline and the pool of 100 workers, with the real clock:
// about a minute, so it runs on its own (ctest label "slow").
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "DaemonFixture.h"

namespace kxrtest {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

const std::string kIndex = "<html><body>index</body></html>\n";

bool Served(const UnixReply& reply) {
  HttpAnswer answer;
  return reply.closed && ParseHttpAnswer(reply.bytes, answer) && answer.status == 200 &&
         answer.body == kIndex;
}

using SlowServingTest = DaemonFixture;

TEST_F(SlowServingTest, DeadlineClosesConnectionsAndFreesTheFullPool) {
  Put("index.htm", kIndex);
  const std::string big(4 << 20, 'z');
  Put("big.bin", big);
  const DaemonStart start = StartServing({"-nofork"});
  ASSERT_TRUE(start.ready);
  const std::string socket = DaemonHarness::SocketPath();

  // Occupy all 100 workers: idle connections, one that trickles an unfinished
  // request (traffic does not extend the deadline), one that never reads the
  // big file it asked for (its answer is cut off).
  const auto t0 = Clock::now();
  std::vector<UnixStream> held(100);
  for (auto& stream : held) ASSERT_TRUE(stream.Connect(socket));
  UnixStream& trickle = held[98];
  UnixStream& unread = held[99];
  ASSERT_TRUE(trickle.Send("GET / HTTP/1.1\r\nX-Slow: "));
  ASSERT_TRUE(unread.Send(Request("GET", "/big.bin")));

  // The 101st waits behind them until a worker is freed by a close.
  UnixStream waiting;
  ASSERT_TRUE(waiting.Connect(socket));
  ASSERT_TRUE(waiting.Send(Request("GET", "/")));
  EXPECT_FALSE(waiting.Readable(seconds(2)));
  held[0].Close();
  EXPECT_TRUE(Served(waiting.ReadUntilClose(seconds(5))));

  // Full again; the next one waits until the first deadlines pass.
  UnixStream refill, late;
  ASSERT_TRUE(refill.Connect(socket));
  ASSERT_TRUE(late.Connect(socket));
  ASSERT_TRUE(late.Send(Request("GET", "/")));
  int sent = 0;
  while (Clock::now() < t0 + milliseconds(59500)) {
    ASSERT_FALSE(late.Readable(milliseconds(500))) << "answered before any deadline passed";
    for (std::size_t i = 1; i < 99; ++i)
      ASSERT_FALSE(held[i].Readable(milliseconds(0))) << "connection " << i << " closed early";
    if (Clock::now() > t0 + seconds(5 * (sent + 1)) && trickle.Send("a")) ++sent;
  }
  EXPECT_GE(sent, 10);

  const auto end = t0 + seconds(66);
  const auto left = [&] { return std::chrono::duration_cast<milliseconds>(end - Clock::now()); };
  EXPECT_TRUE(Served(late.ReadUntilClose(left())));
  for (std::size_t i = 1; i < 99; ++i) {
    const UnixReply reply = held[i].ReadUntilClose(left());
    EXPECT_TRUE(reply.closed && reply.bytes.empty()) << "connection " << i;
  }
  const UnixReply cut = unread.ReadUntilClose(left());
  EXPECT_TRUE(cut.closed);
  EXPECT_EQ(cut.bytes.compare(0, 17, "HTTP/1.1 200 OK\r\n"), 0);
  EXPECT_LT(cut.bytes.size(), big.size());
  EXPECT_TRUE(refill.ReadUntilClose(left()).closed);

  // Every worker is back to normal service.
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(Served(Exchange(socket, Request("GET", "/"))));
  EXPECT_TRUE(DaemonHarness::Alive(start.serving)) << mHarness.Output(start.launched);
}

}  // namespace
}  // namespace kxrtest
