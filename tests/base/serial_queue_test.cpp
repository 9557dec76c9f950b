#include "base/serial_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <vector>

namespace pelorin {
namespace {

// Two threads post while the queue's own thread takes tasks: each poster's tasks keep their order.
TEST(SerialQueue, RunsTasksInOrderOnOneThreadAndDrainsOnDestruction) {
  std::vector<int> order;
  std::set<std::thread::id> threads;
  {
    SerialQueue queue("pelorin.test");
    const auto postAll = [&](int first) {
      for (int i = first; i < first + 200; ++i) queue.post([&, i] { order.push_back(i), threads.insert(std::this_thread::get_id()); });
    };
    std::thread a(postAll, 0), b(postAll, 1000);
    a.join(), b.join();
  }
  ASSERT_EQ(order.size(), 400u);
  EXPECT_EQ(threads.size(), 1u);
  std::vector<int> fromA, fromB;
  for (int v : order) (v < 1000 ? fromA : fromB).push_back(v);
  EXPECT_TRUE(std::is_sorted(fromA.begin(), fromA.end()) && std::is_sorted(fromB.begin(), fromB.end()));
}

TEST(SerialQueue, SyncWaitsForTheTaskAndRunsInlineOnTheQueue) {
  SerialQueue queue("pelorin.sync");
  std::atomic<int> value{0};
  queue.post([&] { value = 1; });
  queue.sync([&] { value = value * 10 + 2; });
  EXPECT_EQ(value, 12);
  bool nested = false;
  queue.sync([&] {
    EXPECT_TRUE(queue.isCurrent());
    queue.sync([&] { nested = true; });  // no deadlock
  });
  EXPECT_TRUE(nested);
  EXPECT_FALSE(queue.isCurrent());
}

TEST(SerialQueue, DelayedTasksRunByDeadlineAndThoseNotDueAreDroppedAtTheEnd) {
  using namespace std::chrono_literals;
  std::atomic<int> order{0};  // the three tasks as digits, in the order they ran
  std::atomic<bool> neverDue{false};
  {
    SerialQueue queue("pelorin.later");
    queue.postAfter(1h, [&] { neverDue = true; });
    // Each posted after a later deadline: the queue must not sleep until that one.
    queue.postAfter(200ms, [&] { order = order * 10 + 3; });
    queue.postAfter(100ms, [&] { order = order * 10 + 2; });
    queue.post([&] { order = order * 10 + 1; });
    // Watched without posting, which would wake the queue.
    for (int i = 0; i < 1000 && order < 100; ++i) std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(order, 123);
  EXPECT_FALSE(neverDue);
}

}  // namespace
}  // namespace pelorin
