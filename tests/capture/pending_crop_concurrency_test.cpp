#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "capture/control_channel.h"

namespace pelorin::capture {
namespace {

TEST(PendingCropConcurrency, TakesOnlyPairsThatWereSetWhole) {
  PendingCrop slot;
  std::atomic<bool> done{false};
  std::thread setter([&] {
    for (std::int64_t i = 2; i < 20000; ++i) slot.set(i, i * 2);
    done = true;
  });
  std::int64_t last = 0;
  for (int taken = 0; taken == 0 || !done;) {  // the first take sees no `done`: only the slot orders it
    if (auto pair = slot.take()) {
      EXPECT_EQ(pair->second, pair->first * 2);
      EXPECT_GT(pair->first, last);  // newer values only
      last = pair->first;
      ++taken;
    }
  }
  setter.join();
  if (auto pair = slot.take()) last = pair->first;
  EXPECT_EQ(last, 19999);
}

}  // namespace
}  // namespace pelorin::capture
