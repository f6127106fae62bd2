// A service that takes exchanges and never answers: each batch spends one
// exchange bound on it, not one per sub-request, and reports every
// sub-request it did not complete as failed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "EngineCall.h"
#include "FakeService.h"
#include "KxrApiBSD.h"
#include "Kxr.h"
#include "PrivateMounts.h"
#include "SumUpBuffers.h"

using namespace kxrtest;

namespace {

TEST(StalledService, BatchSpendsOneBoundAndReportsEverySubRequestFailed) {
  KXR_REQUIRE_PRIVATE_RUN();
  const std::string path = KxrSettings::kServiceSocketPath;
  ::unlink(path.c_str());
  ASSERT_TRUE(MakeParentDirs(path));
  FakeService fake;
  fake.SetMode(FakeService::Mode::kHangAfterRead);
  const uint32_t timedOut = static_cast<uint32_t>(KXR_ERR_ERRNO_BASE + ETIMEDOUT);
  using Clock = std::chrono::steady_clock;

  std::string result;
  auto start = Clock::now();
  ASSERT_EQ(Execute(KxrProtocol::kSumUpRead, 3, 100, Header(0x2000, 1, 2) + Header(0x2000, 2, 0) + Header(0x2000, 3, 2), result), 0);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(18));
  // The zero-length sub-request keeps its own code; nothing was delivered.
  EXPECT_EQ(result, Le32(timedOut) + Le32(0) + Le32(0xECA60102u) + Le32(0) + Le32(timedOut) + Le32(0));

  start = Clock::now();
  ASSERT_EQ(Execute(KxrProtocol::kSumUpWrite, 3, 12, Header(0x2000, 1, 1) + Header(0x2000, 2, 1) + Header(0x2000, 3, 1) + "abc", result), 0);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(18));
  EXPECT_EQ(result, Le32(timedOut) + Le32(timedOut) + Le32(timedOut));  // no write reported as done
}

}  // namespace
