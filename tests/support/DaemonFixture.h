// gtest fixture for tests that run the real daemon in the private
// environment of DaemonHarness. The including test target defines
// KXR_DAEMON_PATH, the path of the daemon's executable.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "DaemonHarness.h"
#include "PrivateMounts.h"
#include "Settings.h"
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

  void TearDown() override {
    if (mSim > 0) {
      ::kill(mSim, SIGKILL);
      ::waitpid(mSim, nullptr, 0);
      mSim = -1;
    }
    mHarness.StopAll();
  }

#ifdef KXR_SIM_PATH
  // Starts the service simulator (KXR_SIM_PATH) with its sample dictionary
  // and waits for its socket; it is killed after the test.
  void StartSimulator() {
    mSim = ::fork();
    ASSERT_GE(mSim, 0);
    if (mSim == 0) {
      if (std::freopen("/dev/null", "w", stderr) == nullptr) ::_exit(126);
      ::execl(KXR_SIM_PATH, KXR_SIM_PATH, static_cast<char*>(nullptr));
      ::_exit(127);
    }
    struct stat st;
    for (int i = 0; i < 500; ++i) {
      if (::stat(KxrSettings::kServiceSocketPath, &st) == 0 && S_ISSOCK(st.st_mode)) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    FAIL() << "the simulator did not come up";
  }
#endif

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
  pid_t mSim = -1;  // the simulator, when started
};

}  // namespace kxrtest
