#include <gtest/gtest.h>

#include <deque>
#include <future>

#include "capture/capture_configuration.h"
#include "portion/portion_capture.h"
#include "portion/portion_stream_controller.h"
#include "portion/portion_updates.h"
#include "support/fake_screen_capture.h"

namespace pelorin::portion {
namespace {

const Rect a{0, 0, 640, 360}, b{10, 0, 640, 360}, c{20, 0, 640, 360}, d{30, 0, 640, 360};

bool is(const PortionUpdates::Next& next, std::optional<Rect> send, std::optional<Rect> restore) {
  return next.send == send && next.restore == restore;
}

// Bursts are the controller's below; here a failure restores only when nothing different is queued.
TEST(PortionUpdates, AFailureRestoresTheAppliedPortionOnlyWhenNothingDifferentIsQueued) {
  PortionUpdates u(a);
  EXPECT_EQ(u.request(a), std::nullopt);  // where the capture already is
  EXPECT_EQ(u.request(d), d);
  EXPECT_EQ(u.request(d), std::nullopt);  // queued behind the same portion in flight
  EXPECT_TRUE(is(u.completed(true), std::nullopt, std::nullopt));  // the queued one is applied already
  EXPECT_EQ(u.applied, d);
  u.request(a);
  EXPECT_TRUE(is(u.completed(false), std::nullopt, d));
  EXPECT_EQ(u.applied, d);
  u.request(b);
  u.request(c);
  EXPECT_TRUE(is(u.completed(false), c, std::nullopt));
  EXPECT_TRUE(is(u.completed(false), std::nullopt, d));
  u.request(b);  // back to the start while b was in flight, and b failed
  u.request(d);
  EXPECT_TRUE(is(u.completed(false), std::nullopt, d));
}

// A stream answered and a main thread run when the test says so.
struct Stream final : PortionStreamUpdating {
  void updateConfiguration(const platform::StreamConfiguration& configuration, Completion completion) override {
    sent.push_back(*configuration.sourceRect);
    last = configuration;
    pending.push_back(std::move(completion));
  }
  void answer(std::optional<Error> error = std::nullopt) {
    pending.front()(std::move(error));
    pending.pop_front();
  }
  std::vector<Rect> sent;
  platform::StreamConfiguration last;
  std::deque<Completion> pending;
};

TEST(PortionStreamController, RejectsWhatDoesNotFitSendsOneAtATimeAndAnswersOnTheMainThread) {
  auto stream = std::make_shared<Stream>();
  std::deque<std::function<void()>> mainThread;
  const auto runMainThread = [&] {
    for (; !mainThread.empty(); mainThread.pop_front()) mainThread.front()();
  };
  std::vector<Rect> restored;
  std::vector<bool> lags;  // what the picture was told: withheld (true) or shown again (false)
  auto controller = PortionStreamController::create(
      stream, {{0, 0, 1920, 1080}, a, 1280, 720, 25}, [&](const Rect& r) { restored.push_back(r); },
      [&](std::function<void()> task) { mainThread.push_back(std::move(task)); },
      [&](bool lagging) { lags.push_back(lagging); });

  const Rect rejected[] = {{-2, 0, 640, 360}, {0, 0, 641, 360}, {0, 0, 640, 1},    {1300, 0, 640, 360},
                           {0, 800, 640, 360}, {0, 0, 0, 0},     {0, 0, 1922, 360}};
  for (const Rect& r : rejected) controller->move(r);
  EXPECT_TRUE(stream->sent.empty());
  EXPECT_EQ(lags.back(), false);  // put back at once: the picture shows again
  EXPECT_EQ(restored, std::vector<Rect>(std::size(rejected), a));
  restored.clear();
  lags.clear();

  const Rect corner{1280, 720, 640, 360};  // touching the far corner fits
  controller->move(corner);
  controller->move(c);
  controller->move(d);
  EXPECT_EQ(stream->sent, std::vector<Rect>{corner});
  EXPECT_EQ(std::tuple(stream->last.width, stream->last.height, stream->last.minimumFrameInterval.timescale),
            std::tuple(1280, 720, 25));
  stream->answer();
  EXPECT_EQ(stream->sent.size(), 1u) << "the answer must wait for the main thread";
  runMainThread();
  EXPECT_EQ(stream->sent, (std::vector<Rect>{corner, d}));
  // The picture is withheld from the first move until the capture shows the frame's portion.
  EXPECT_EQ(lags, (std::vector<bool>{true, true, true}));
  stream->answer(Error{"X11Capture", -1, "refused"});
  runMainThread();
  EXPECT_EQ(restored, std::vector<Rect>{corner});
  EXPECT_EQ(lags.back(), false);

  controller->move(c);  // answered after the controller is gone: nothing happens
  controller.reset();
  stream->answer();
  runMainThread();
  EXPECT_EQ(restored, std::vector<Rect>{corner});
  EXPECT_EQ(stream->sent.size(), 3u);
}

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

}  // namespace
}  // namespace pelorin::portion
