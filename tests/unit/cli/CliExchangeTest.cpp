// kxr-cli against the real daemon and the service simulator, both started in
// the private environment: a read, a write and its read-back, and a fault.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "CliMain.h"
#include "DaemonFixture.h"
#include "Settings.h"

#ifndef KXR_SIM_PATH
#error "KXR_SIM_PATH must name the service simulator"
#endif

namespace kxrtest {
namespace {

class CliExchange : public DaemonFixture {
 protected:
  // Runs kxr-cli with its default socket; returns the exit status.
  int Cli(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int status = KxrCli::Run("kxr-cli", args, KxrSettings::kSocketPath, out, err);
    mOut = out.str();
    mErr = err.str();
    return status;
  }

  std::string mOut, mErr;
};

TEST_F(CliExchange, ReadWriteAndReadBack) {
  StartSimulator();
  StartServing({"-nofork"});
  EXPECT_EQ(Cli({"read", "0x1018:1", "0x1008:0", "0x7777:1"}), KxrCli::kExitFailed) << mErr;
  EXPECT_EQ(mOut,
            "0x1018:0x01  0x00000000 Success  4 bytes: 78 56 34 12  \"xV4.\"\n"
            "0x1008:0x00  0x00000000 Success  8 bytes: 4b 58 52 2d 53 49 4d 00  \"KXR-SIM.\"\n"
            "0x7777:0x01  0xECA60301 No such object or sub-index\n");

  EXPECT_EQ(Cli({"write", "0x2000:1=u16:0x1234", "0x2000:3=hex:07"}), KxrCli::kExitOk) << mErr;
  EXPECT_EQ(mOut, "0x2000:0x01  0x00000000 Success\n0x2000:0x03  0x00000000 Success\n");
  EXPECT_EQ(Cli({"read", "8192:1", "8192:3"}), KxrCli::kExitOk) << mErr;
  EXPECT_EQ(mOut,
            "0x2000:0x01  0x00000000 Success  2 bytes: 34 12  \"4.\"\n"
            "0x2000:0x03  0x00000000 Success  1 byte: 07  \".\"\n");
  // A read-only entry refuses the write; the exit status tells.
  EXPECT_EQ(Cli({"write", "0x1018:1=u32:0"}), KxrCli::kExitFailed);
  EXPECT_EQ(mOut, "0x1018:0x01  0xECA60303 Entry is read-only\n");
}

TEST_F(CliExchange, FaultAndNoDaemon) {
  EXPECT_EQ(Cli({"read", "0x1018:1"}), KxrCli::kExitNoAnswer);
  EXPECT_NE(mErr.find("cannot connect to " + std::string(KxrSettings::kSocketPath)), std::string::npos) << mErr;
  StartServing({"-nofork"});
  // No simulator: the call is answered with the client's fault.
  EXPECT_EQ(Cli({"read", "0x1018:1"}), KxrCli::kExitFailed);
  EXPECT_EQ(mOut, "");
  EXPECT_NE(mErr.find("fault 0xECA60201 (-324664831): Unknown error"), std::string::npos) << mErr;
}

}  // namespace
}  // namespace kxrtest
