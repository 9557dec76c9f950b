#include "base/main_queue.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace pelorin {
namespace {

TEST(MainQueue, RunsPostedTasksOnTheRunningThreadUntilExit) {
  MainQueue queue;
  const auto mainThread = std::this_thread::get_id();
  std::vector<int> order;
  bool allOnMain = true;
  std::thread worker([&] {
    for (int i = 0; i < 100; ++i) {
      queue.post([&, i] {
        order.push_back(i);
        allOnMain = allOnMain && std::this_thread::get_id() == mainThread;
        if (i == 99) queue.exit(3);
      });
    }
  });
  EXPECT_EQ(queue.run(), 3);
  worker.join();
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
  EXPECT_TRUE(allOnMain);
}

TEST(MainQueue, FirstExitStatusWins) {
  MainQueue queue;
  std::thread a([&] { queue.exit(1); });
  a.join();
  queue.exit(0);
  EXPECT_EQ(queue.run(), 1);
}

}  // namespace
}  // namespace pelorin
