// The portion capture run and the watch of a selection, on scripted platforms.
#include "portion/portion_capture.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <condition_variable>
#include <future>
#include <thread>

#include "media/encoder_harness.h"
#include "capture/capture_configuration.h"
#include "portion/selection_watch.h"
#include "support/fake_screen_capture.h"
#include "support/process.h"

namespace pelorin::portion {
namespace {

// A pipe whose write end stays open: a host that keeps the encoder's standard input.
struct OpenInput {
  OpenInput() { EXPECT_EQ(::pipe(fds), 0); }
  ~OpenInput() {
    closeWriteEnd();
    ::close(fds[0]);
  }
  void closeWriteEnd() {
    if (fds[1] >= 0) ::close(fds[1]);
    fds[1] = -1;
  }
  int fds[2] = {-1, -1};
};

struct PortionRun : test::EncoderHarness {
  PortionRun() : EncoderHarness(64, 36, test::FakeScript{.deliverOnThread = true}) {
    platform::ShareableContent content;
    content.displays = {{5, Rect{0, 0, 1920, 1200}, 1920, 1200, "LEFT"}, {6, Rect{1920, 0, 1920, 1080}, 1920, 1080, ""}};
    capture.contentResult = content;
    environment.access = &access;
    environment.capture = &capture;
    environment.programPath = "/opt/pelorin/pelorin-encoder";
    environment.inputFd = input.fds[0];
    environment.errorFd = err.fd();
    request = {.width = 64, .height = 36, .fps = 20, .durationSeconds = 1, .displayID = 6,
               .portion = Rect{100, 50, 640, 360}};
  }
  Result<void> run(const PortionFrameHost& host) { return runPortion(request, *makeEncoder(), environment, host); }

  OpenInput input;
  test::FakeAccess access;
  test::FakeCapture capture;
  capture::CaptureEnvironment environment;
  capture::CaptureRequest request;
};

TEST(RunPortion, CapturesThePortionWhileTheFrameMovesIt) {
  PortionRun r;
  std::optional<PortionFrameSetup> shown;
  std::string errBeforeFrame;
  std::thread mover;
  const Result<void> outcome = r.run([&](const PortionFrameSetup& setup) {
    shown = setup;
    errBeforeFrame = r.err.contents();
    // The user drags the frame while the capture runs; answers come back on another thread.
    mover = std::thread([stream = setup.stream] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      std::promise<std::optional<Error>> answered;
      stream->updateConfiguration(capture::makeCaptureConfiguration(64, 36, Rect{300, 200, 320, 180}),
                                  [&](std::optional<Error> e) { answered.set_value(e); });
      EXPECT_FALSE(answered.get_future().get());
    });
    return Result<void>{};
  });
  mover.join();
  ASSERT_TRUE(outcome.ok()) << outcome.error().description();
  ASSERT_TRUE(shown);
  EXPECT_EQ(shown->display.displayID, 6u);
  EXPECT_EQ(shown->portion, (Rect{100, 50, 640, 360}));
  EXPECT_EQ(shown->outputWidth, 64);
  EXPECT_EQ(shown->fps, 20);
  EXPECT_EQ(errBeforeFrame.find("capture_start"), std::string::npos) << "the frame comes before the start lines";

  ASSERT_EQ(r.capture.streams.size(), 1u);
  const auto& [filter, configuration] = r.capture.streams[0];
  EXPECT_EQ(filter.displayID, 6u);
  EXPECT_EQ(configuration.sourceRect, (Rect{100, 50, 640, 360}));
  EXPECT_EQ(configuration.minimumFrameInterval.timescale, 20);

  const auto lines = test::splitLines(r.err.contents());
  ASSERT_GE(lines.size(), 5u);
  EXPECT_TRUE(lines[1].starts_with("capture_clock_anchor phase=start ")) << lines[1];
  EXPECT_EQ(lines[2], "capture_start capture=x11 width=64 height=36 fps=20 abs_capture_time_source=capture queue_capacity=3");
  EXPECT_TRUE(lines[lines.size() - 2].starts_with("capture_clock_anchor phase=end ")) << r.err.contents();
  EXPECT_TRUE(lines.back().starts_with("native_encoder_summary ")) << r.err.contents();
}

TEST(RunPortion, RefusesBeforeCapturing) {
  const struct {
    std::function<void(PortionRun&)> change;
    std::string description;
  } cases[] = {
      {[](PortionRun& r) { r.access.allowed = false; },
       "screen capture permission missing executable=/opt/pelorin/pelorin-encoder"},
      {[](PortionRun& r) { r.request.portion.reset(); }, "invalid arguments"},
      {[](PortionRun& r) { r.request.displayID.reset(); }, "invalid arguments"},
      {[](PortionRun& r) { r.request.displayID = 9; }, "display not found (9)"},
      {[](PortionRun& r) { r.capture.contentResult = Error{"ScreenCaptureKit", 3, "no content"}; }, "no content"},
  };
  for (const auto& c : cases) {
    PortionRun r;
    c.change(r);
    bool frameShown = false;
    const Result<void> outcome = r.run([&](const PortionFrameSetup&) {
      frameShown = true;
      return Result<void>{};
    });
    ASSERT_FALSE(outcome.ok()) << c.description;
    EXPECT_EQ(outcome.error().description(), c.description);
    EXPECT_FALSE(frameShown);
    EXPECT_TRUE(r.out.contents().empty());
  }
  PortionRun noScreen;
  const Result<void> outcome =
      noScreen.run([](const PortionFrameSetup&) -> Result<void> { return Error{"ScreenCaptureKit", -1, "display not found (6)"}; });
  ASSERT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error().description(), "display not found (6)");
  EXPECT_EQ(noScreen.err.contents().find("capture_start"), std::string::npos);
}

TEST(LivePortionStream, ReconfiguresAskingForAFrameUntilClosed) {
  test::FakeStreamScript script;
  auto stream = std::make_shared<test::FakeStream>(platform::StreamConfiguration{}, script, nullptr);
  LivePortionStream live(stream);
  auto update = [&](Rect r) {
    std::promise<std::optional<Error>> answered;
    live.updateConfiguration(capture::makeCaptureConfiguration(64, 36, r), [&](std::optional<Error> e) { answered.set_value(e); });
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

// Collects what a selection watch says.
struct Said {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> words;
  void add(const std::string& word) {
    std::lock_guard lock(mutex);
    words.push_back(word);
    changed.notify_all();
  }
  std::vector<std::string> after(std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, wait, [&] { return !words.empty(); });
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // time for a second word, if any
    lock.lock();
    return words;
  }
};

TEST(WatchPortionSelection, SpeaksOnceForTheFirstOfInputEndAndTimeOut) {
  {
    OpenInput input;
    auto said = std::make_shared<Said>();
    watchPortionSelection(input.fds[0], 30, [said](const std::string& w) { said->add(w); });
    input.closeWriteEnd();
    EXPECT_EQ(said->after(std::chrono::seconds(5)), std::vector<std::string>{"portion_parent_gone"});
  }
  {
    OpenInput input;
    auto said = std::make_shared<Said>();
    watchPortionSelection(input.fds[0], 0.1, [said](const std::string& w) { said->add(w); });
    EXPECT_EQ(said->after(std::chrono::seconds(5)), std::vector<std::string>{"portion_timeout"});
  }
  // Both at the same moment, many times: never two words.
  for (int i = 0; i < 50; ++i) {
    OpenInput input;
    input.closeWriteEnd();
    auto said = std::make_shared<Said>();
    watchPortionSelection(input.fds[0], 0, [said](const std::string& w) { said->add(w); });
    EXPECT_EQ(said->after(std::chrono::seconds(5)).size(), 1u);
  }
}

}  // namespace
}  // namespace pelorin::portion
