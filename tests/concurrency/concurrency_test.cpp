// What several threads share, run under ThreadSanitizer too: the serial queue, the encoder fed
// from several threads while its session delivers on its own, and the pending crop.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "base/serial_queue.h"
#include "capture/control_channel.h"
#include "media/encoder_harness.h"
#include "media/frame_stream.h"
#include "support/wait_until.h"

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
    EXPECT_TRUE(test::waitUntil([&] { return order >= 100; }));
  }
  EXPECT_EQ(order, 123);
  EXPECT_FALSE(neverDue);
}

// Walks the records of a stream; returns how many there are, or -1 at the first broken one.
int countWholeRecords(const std::string& stream) {
  int count = 0;
  for (std::size_t p = 0; p < stream.size(); ++count) {
    if (stream.size() - p < media::frameHeaderSize || stream.compare(p, 8, "PLNH2641") != 0) return -1;
    std::uint32_t length = 0;
    for (int b = 3; b >= 0; --b) length = length << 8 | static_cast<std::uint8_t>(stream[p + 8 + b]);
    p += media::frameHeaderSize + length;
    if (p > stream.size()) return -1;
  }
  return count;
}

TEST(HardwareEncoderConcurrency, CountersAndRecordsStayConsistent) {
  test::EncoderHarness h(16, 16, {.deliverOnThread = true});
  auto encoder = h.makeEncoder();
  constexpr int producers = 3, framesEach = 400;
  std::vector<std::thread> threads;
  for (int t = 0; t < producers; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < framesEach; ++i) encoder->encode(nullptr, {i, 30}, static_cast<std::uint64_t>(t * framesEach + i));
    });
  }
  // Threads that only read the counters or only ask for key frames: nothing else orders their
  // accesses after the producers', so an access without the lock is a race the sanitizer sees.
  std::atomic<bool> done{false};
  std::thread reader([&] { while (!done) (void)encoder->counters(); });
  std::thread requester([&] { while (!done) encoder->requestKeyframe(); });
  for (auto& t : threads) t.join();
  ASSERT_TRUE(encoder->finish(0, 1).ok());
  done = true;
  reader.join();
  requester.join();

  const auto c = encoder->counters();
  EXPECT_EQ(c.encodedFrames + c.encoderDrops, producers * framesEach);
  EXPECT_TRUE(c.outstanding == 0 && c.maxOutstanding <= 6);
  EXPECT_EQ(countWholeRecords(h.out.contents()), c.encodedFrames);
}

TEST(PendingCropConcurrency, TakesOnlyPairsThatWereSetWhole) {
  capture::PendingCrop slot;
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
}  // namespace pelorin
