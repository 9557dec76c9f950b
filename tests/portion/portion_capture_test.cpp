// The live portion stream and the watch of a selection, on scripted platforms.
#include "portion/portion_capture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "capture/capture_configuration.h"
#include "portion/selection_watch.h"
#include "support/fake_screen_capture.h"

namespace pelorin::portion {
namespace {

TEST(LivePortionStream, ReconfiguresAskingForAFrameUntilClosed) {
  auto stream = std::make_shared<test::FakeStream>(platform::StreamConfiguration{}, test::FakeStreamScript{}, nullptr);
  LivePortionStream live(stream);
  auto update = [&](Rect r) {
    std::promise<std::optional<Error>> answered;
    live.updateConfiguration(capture::makeCaptureConfiguration(64, 36, r),
                             [&](std::optional<Error> e) { answered.set_value(e); });
    return answered.get_future().get();
  };
  EXPECT_FALSE(update({0, 0, 320, 180}));
  ASSERT_EQ(stream->configurationUpdates.size(), 1u);
  EXPECT_EQ(stream->configurationUpdates[0].sourceRect, (Rect{0, 0, 320, 180}));
  EXPECT_EQ(*stream->framesRequested, 1) << "a new portion must show at once on a still screen";
  live.close();
  EXPECT_TRUE(update({2, 0, 320, 180}));
  EXPECT_EQ(stream->configurationUpdates.size(), 1u);
}

// The words a watch of a pipe says within 300 ms; the watch threads may outlive the test, not `words`.
std::vector<std::string> watchWords(double timeout, bool inputEnds) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  if (inputEnds) ::close(std::exchange(fds[1], -1));
  auto words = std::make_shared<std::pair<std::mutex, std::vector<std::string>>>();
  watchPortionSelection(fds[0], timeout, [words](const std::string& w) {
    std::lock_guard lock(words->first);
    words->second.push_back(w);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  for (int fd : fds) ::close(fd);  // -1 once closed: harmless
  std::lock_guard lock(words->first);
  return words->second;
}

TEST(WatchPortionSelection, TimesOutAndSpeaksOnceWhenInputEndsAtTheSameMoment) {
  EXPECT_EQ(watchWords(0.1, false), std::vector<std::string>{"portion_timeout"});
  for (int i = 0; i < 10; ++i) EXPECT_EQ(watchWords(0, true).size(), 1u);  // both at once: never two words
}

}  // namespace
}  // namespace pelorin::portion
