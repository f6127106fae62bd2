// Test main for tests that need the daemon's real paths under a private /run.
#include <gtest/gtest.h>

#include <cstdio>

#include "PrivateMounts.h"

int main(int argc, char** argv) {
  std::string why;
  if (kxrtest::EnterPrivateRun(why)) {
    kxrtest::SetPrivateRunUnavailable("");
  } else {
    kxrtest::SetPrivateRunUnavailable(why);
    std::fprintf(stderr, "note: tests that need a private /run are skipped (%s)\n", why.c_str());
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
