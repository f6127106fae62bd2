// gtest fixture for tests that run the real daemon in the private
// environment of DaemonHarness. The including test target defines
// KXR_DAEMON_PATH, the path of the daemon's executable.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DaemonHarness.h"
#include "PrivateMounts.h"
#include "UnixHttp.h"

#ifndef KXR_DAEMON_PATH
#error "KXR_DAEMON_PATH must name the daemon's executable"
#endif

namespace kxrtest {

// Each test starts from a clean environment; daemons are killed after it.
class DaemonFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    KXR_REQUIRE_PRIVATE_RUN();
    std::string why;
    ASSERT_TRUE(mHarness.Prepare(why)) << why;
  }

  void TearDown() override { mHarness.StopAll(); }

  // Starts the daemon and expects it to serve; returns the start.
  DaemonStart StartServing(const std::vector<std::string>& args,
                           const StartOptions& options = {}) {
    const DaemonStart start = mHarness.Start(args, options);
    EXPECT_TRUE(start.ready) << "daemon did not come up; its output:\n"
                             << mHarness.Output(start.launched);
    return start;
  }

  // Writes a document file, failing the test if that is not possible.
  void Put(const std::string& relative, const std::string& content) {
    std::string why;
    ASSERT_TRUE(mHarness.PutFile(relative, content, why)) << why;
  }

  // Sends one request to the daemon and returns its whole answer.
  static UnixReply Send(const std::string& request) {
    return Exchange(DaemonHarness::SocketPath(), request);
  }

  DaemonHarness mHarness{KXR_DAEMON_PATH};
};

}  // namespace kxrtest
