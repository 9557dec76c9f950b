#include <gtest/gtest.h>

#include <deque>

#include "capture/portion_stream_controller.h"

namespace pelorin::capture {
namespace {

const Rect a{0, 0, 640, 360}, b{10, 0, 640, 360}, c{20, 0, 640, 360}, d{30, 0, 640, 360};

// A stream answered, frames passed and a main thread run when the test says so; what the
// controller does, in order, in `log`.
struct Stream final : PortionStreamUpdating {
  void updateConfiguration(const platform::StreamConfiguration& configuration, Completion completion) override {
    log.push_back("send " + std::to_string(static_cast<int>(configuration.sourceRect->x)));
    last = configuration;
    pending.push_back(std::move(completion));
  }
  void holdPicture() override { log.push_back("hold"); }
  void releasePicture(bool keyframe, std::function<void()> passed) override {
    log.push_back(keyframe ? "release with key frame" : "release");
    if (passed) passedFrame = std::move(passed);
  }
  void answer(std::optional<Error> error = std::nullopt) {
    pending.front()(std::move(error));
    pending.pop_front();
  }
  std::vector<std::string> taken() { return std::exchange(log, {}); }
  std::vector<std::string> log;
  platform::StreamConfiguration last;
  std::deque<Completion> pending;
  std::function<void()> passedFrame;
};

TEST(PortionStreamController, FollowsADragInStepsThatWithholdThePictureUntilTheStreamShowsTheFrame) {
  auto stream = std::make_shared<Stream>();
  std::deque<std::function<void()>> mainThread;
  const auto runMainThread = [&] {
    for (; !mainThread.empty(); mainThread.pop_front()) mainThread.front()();
  };
  auto controller = PortionStreamController::create(
      stream, {{0, 0, 1920, 1080}, a, {.width = 1280, .height = 720, .frameRate = {25, 1}}},
      [&](const Rect& r) { stream->log.push_back("place " + std::to_string(static_cast<int>(r.x))); },
      [&](std::function<void()> task) { mainThread.push_back(std::move(task)); });

  // What does not fit, and a click that moves nothing, neither withhold nor send anything.
  const Rect rejected[] = {{-2, 0, 640, 360}, {0, 0, 641, 360}, {0, 0, 640, 1},    {1300, 0, 640, 360},
                           {0, 800, 640, 360}, {0, 0, 0, 0},     {0, 0, 1922, 360}, a};
  for (const Rect& r : rejected) controller->move(r);
  EXPECT_TRUE(stream->taken().empty());

  const Rect corner{1280, 720, 640, 360};  // touching the far corner fits
  controller->move(corner, false);
  controller->move(c, false);
  controller->move(d, false);
  EXPECT_EQ(stream->taken(), (std::vector<std::string>{"hold", "place 1280", "send 1280"}));
  EXPECT_EQ(std::tuple(stream->last.width, stream->last.height, stream->last.minimumFrameInterval.timescale),
            std::tuple(1280, 720, 25));
  stream->answer();
  EXPECT_TRUE(stream->taken().empty()) << "the answer must wait for the main thread";
  runMainThread();
  EXPECT_EQ(stream->taken(), std::vector<std::string>{"release"});
  stream->passedFrame();
  runMainThread();  // a frame of the corner went out: on to the latest portion, never the one between
  EXPECT_EQ(stream->taken(), (std::vector<std::string>{"hold", "place 30", "send 30"}));

  // Released while waiting for a frame: the last portion follows at once, then one key frame.
  stream->answer();
  runMainThread();
  controller->move(b, true);
  EXPECT_EQ(stream->taken(), (std::vector<std::string>{"release", "hold", "place 10", "send 10"}));
  stream->passedFrame();  // late: that step is over
  stream->answer();
  runMainThread();
  EXPECT_EQ(stream->taken(), std::vector<std::string>{"release with key frame"});
  EXPECT_EQ(controller->updates().applied, b);

  // A failed step moves the frame on to a portion queued meanwhile, else back where the capture is,
  // and asks the stream again before the picture returns.
  for (const auto& [queued, back] : {std::pair<std::optional<Rect>, Rect>{d, d}, {std::nullopt, d}}) {
    controller->move(c, !queued);
    if (queued) controller->move(*queued, true);
    stream->answer(Error{"X11Capture", -1, "refused"});
    runMainThread();
    stream->answer();
    runMainThread();
    EXPECT_EQ(stream->taken(), (std::vector<std::string>{"hold", "place 20", "send 20", "place 30", "send 30",
                                                        "release with key frame"}));
    EXPECT_EQ(controller->updates().applied, back);
  }

  controller->move(b);  // answered after the controller is gone: nothing happens
  controller.reset();
  stream->answer();
  runMainThread();
  EXPECT_EQ(stream->taken(), (std::vector<std::string>{"hold", "place 10", "send 10"}));
}

}  // namespace
}  // namespace pelorin::capture
