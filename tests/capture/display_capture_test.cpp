#include "capture/display_capture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <functional>

#include "media/encoder_harness.h"
#include "support/fake_screen_capture.h"
#include "support/process.h"

namespace pelorin::capture {
namespace {

struct ScreenRun : test::EncoderHarness {
  ScreenRun() : EncoderHarness(64, 32, test::FakeScript{.deliverOnThread = true}) {
    platform::ShareableContent content;
    content.displays = {{5, Rect{0, 0, 1920, 1200}, 1920, 1200, "LEFT"}, {6, Rect{1920, 0, 1920, 1080}, 1920, 1080, ""}};
    capture.contentResult = content;
    environment = {&access, &capture, nullptr, "/opt/pelorin/pelorin-encoder", "x11", input.fd(), err.fd()};
    request.stream = {.width = 64, .height = 32, .frameRate = {20, 1}};
    request.durationSeconds = 1;
  }

  Result<void> run() { return runScreen(request, *makeEncoder(), environment); }

  test::CapturedFd input;  // the control lines, read to their end at once
  test::FakeAccess access;
  test::FakeCapture capture;
  CaptureEnvironment environment;
  CaptureRequest request;
};

TEST(RunScreen, CapturesTheRequestedOrFirstDisplayForTheDurationAskingForFramesAsTheHostSays) {
  for (const auto& [requested, captured] : {std::pair<std::optional<std::uint32_t>, std::uint32_t>{6, 6}, {{}, 5}}) {
    ScreenRun r;
    r.request.displayID = requested;
    ASSERT_EQ(pwrite(r.input.fd(), "KEYFRAME\nPAUSE\nRESUME\n", 22, 0), 22);
    std::shared_ptr<std::atomic<int>> framesRequested;
    r.capture.onStreamMade = [&](test::FakeStream& stream) { framesRequested = stream.framesRequested; };
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(r.run().ok());
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(950));  // its duration
    EXPECT_EQ(framesRequested->load(), 2);  // KEYFRAME and RESUME
    ASSERT_EQ(r.capture.streams.size(), 1u);
    const auto& [filter, c] = r.capture.streams[0];
    EXPECT_TRUE(filter.displayID == captured && filter.windows.empty() && c.showsCursor && !c.sourceRect);
    EXPECT_EQ(std::tuple(c.width, c.height, c.minimumFrameInterval.value, c.minimumFrameInterval.timescale),
              std::tuple(64, 32, 1, 20));
    EXPECT_FALSE(r.factory.log.submissions.empty());
    EXPECT_TRUE(test::splitLines(r.err.contents()).back().starts_with("native_encoder_summary encoded_frames="))
        << r.err.contents();
  }
}

TEST(RunScreen, ARefusedOrFailingRunEndsAtOnceWithItsErrorAndNoSummary) {
  const struct {
    std::function<void(ScreenRun&)> change;
    std::string message;  // its start
    bool captures;
  } cases[] = {
      {[](ScreenRun& r) { r.access.allowed = false; },
       "screen capture permission missing executable=/opt/pelorin/pelorin-encoder", false},
      {[](ScreenRun& r) { r.request.displayID = 7; }, "display not found (7)", false},
      {[](ScreenRun& r) { r.capture.contentResult = platform::ShareableContent{}; }, "no display available", false},
      {[](ScreenRun& r) { r.capture.contentResult = Error{"X11Capture", 2, "cannot open the display"}; },
       "cannot open the display", false},
      {[](ScreenRun& r) { r.capture.streamScript.framesBeforeError = 3; }, "the display went away", true},
      // Every write fails, as into a closed pipe.
      {[](ScreenRun& r) { r.settings.outputFd = open("/dev/null", O_RDONLY); }, "frame stream write failed", true},
  };
  for (const auto& c : cases) {
    ScreenRun r;
    r.request.durationSeconds = 60;
    c.change(r);
    const auto start = std::chrono::steady_clock::now();
    const Result<void> result = r.run();
    // Loose: long before the minute the run asked for.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << c.message;
    ASSERT_FALSE(result.ok()) << c.message;
    EXPECT_TRUE(result.error().message.starts_with(c.message)) << result.error().message;
    EXPECT_EQ(r.capture.streams.size(), c.captures ? 1u : 0u) << c.message;
    EXPECT_EQ(r.err.contents().find("native_encoder_summary"), std::string::npos) << c.message;
    if (r.settings.outputFd != r.out.fd()) close(r.settings.outputFd);
    if (!r.access.allowed) {
      EXPECT_EQ(result.error().domain, "ScreenCaptureKit");
      EXPECT_TRUE(r.capture.queries.empty());
    }
  }
}

}  // namespace
}  // namespace pelorin::capture
