// The bound on one exchange: a service that accepts and then neither reads
// nor answers costs the client the fixed timeout, not the daemon's life.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "FakeService.h"
#include "KxrApiBSD.h"
#include "PrivateMounts.h"

TEST(ClientBound, TimesOutSendingAndReceiving) {
  KXR_REQUIRE_PRIVATE_RUN();
  kxrtest::FakeService fake;
  ASSERT_TRUE(fake.Listening()) << fake.Error();
  fake.SetMode(kxrtest::FakeService::Mode::kHangBeforeRead);
  const auto t0 = std::chrono::steady_clock::now();
  // Both exchanges at once: a small request waits for its answer, a large one cannot be sent.
  uint64_t readRc = 0;
  std::thread reader([&] {
    char buf[4];
    uint64_t cb;
    readRc = KXRSyncRead(1, 0, 0, sizeof buf, buf, &cb);
  });
  const std::vector<char> big(8 << 20, 'w');
  const uint64_t writeRc = KXRSyncWrite(1, 0, 0, big.size(), big.data());
  reader.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(readRc, KXR_ERR_ERRNO_BASE + ETIMEDOUT);
  EXPECT_EQ(writeRc, KXR_ERR_ERRNO_BASE + ETIMEDOUT);
  EXPECT_GE(seconds, KxrSettings::kExchangeTimeoutSeconds - 0.5);
  EXPECT_LT(seconds, KxrSettings::kExchangeTimeoutSeconds + 15.0);
}
