// The encoder is fed from several threads while its session delivers on a thread of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "media/encoder_harness.h"
#include "media/frame_stream.h"

namespace pelorin::media {
namespace {

// Walks the records of a stream; returns how many there are, or -1 at the first broken one.
int countWholeRecords(const std::string& stream) {
  int count = 0;
  for (std::size_t p = 0; p < stream.size(); ++count) {
    if (stream.size() - p < frameHeaderSize || stream.compare(p, 8, "PLNH2641") != 0) return -1;
    std::uint32_t length = 0;
    for (int b = 3; b >= 0; --b) length = length << 8 | static_cast<std::uint8_t>(stream[p + 8 + b]);
    p += frameHeaderSize + length;
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

}  // namespace
}  // namespace pelorin::media
