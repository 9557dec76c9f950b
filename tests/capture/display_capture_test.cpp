#include "capture/display_capture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <functional>

#include "media/encoder_harness.h"
#include "support/fake_screen_capture.h"
#include "support/process.h"
#include "support/temp_file.h"

namespace pelorin::capture {
namespace {

struct ScreenRun : test::EncoderHarness {
  ScreenRun() : EncoderHarness(64, 32, test::FakeScript{.deliverOnThread = true}) {
    platform::ShareableContent content;
    content.displays = {{5, Rect{0, 0, 1920, 1200}, 1920, 1200, "LEFT"}, {6, Rect{1920, 0, 1920, 1080}, 1920, 1080, ""}};
    capture.contentResult = content;
    environment.access = &access;
    environment.capture = &capture;
    environment.programPath = "/opt/pelorin/pelorin-encoder";
    environment.inputFd = input.fd();  // empty: the control reader sees the end at once
    environment.errorFd = err.fd();
    request.width = 64;
    request.height = 32;
    request.fps = 20;
    request.durationSeconds = 1;
  }

  Result<void> run() { return runScreen(request, *makeEncoder(), environment); }

  test::CapturedFd input;
  test::FakeAccess access;
  test::FakeCapture capture;
  CaptureEnvironment environment;
  CaptureRequest request;
};

TEST(RunScreen, CapturesTheRequestedOrFirstDisplayForTheDurationAndFinishes) {
  for (const auto& [requested, captured] : {std::pair<std::optional<std::uint32_t>, std::uint32_t>{6, 6}, {{}, 5}}) {
    ScreenRun r;
    r.request.displayID = requested;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(r.run().ok());
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(950));
    ASSERT_EQ(r.capture.streams.size(), 1u);
    const auto& [filter, c] = r.capture.streams[0];
    EXPECT_EQ(filter.displayID, captured);
    EXPECT_TRUE(filter.windows.empty());
    EXPECT_EQ(std::tuple(c.width, c.height, c.minimumFrameInterval.value, c.minimumFrameInterval.timescale),
              std::tuple(64, 32, 1, 20));
    EXPECT_EQ(c.pixelFormat, platform::pixelFormat420v);
    EXPECT_EQ(c.queueDepth, 3);
    EXPECT_TRUE(c.showsCursor && c.scalesToFit && c.preservesAspectRatio && !c.capturesAudio && !c.sourceRect);
    EXPECT_GT(r.factory.log.submissions.size(), 10u);
    EXPECT_FALSE(r.out.contents().empty());
    EXPECT_TRUE(test::splitLines(r.err.contents()).back().starts_with("native_encoder_summary encoded_frames="))
        << r.err.contents();
  }
}

TEST(RunScreen, RefusesWithoutPermissionOrDisplayBeforeCapturing) {
  const struct {
    std::function<void(ScreenRun&)> change;
    std::string message;
  } cases[] = {
      {[](ScreenRun& r) { r.access.allowed = false; },
       "screen capture permission missing executable=/opt/pelorin/pelorin-encoder"},
      {[](ScreenRun& r) { r.request.displayID = 7; }, "display not found (7)"},
      {[](ScreenRun& r) { r.capture.contentResult = platform::ShareableContent{}; }, "no display available"},
      {[](ScreenRun& r) { r.capture.contentResult = Error{"X11Capture", 2, "cannot open the display"}; },
       "cannot open the display"},
  };
  for (const auto& c : cases) {
    ScreenRun r;
    c.change(r);
    const Result<void> result = r.run();
    ASSERT_FALSE(result.ok()) << c.message;
    EXPECT_EQ(result.error().message, c.message);
    EXPECT_TRUE(r.capture.streams.empty()) << c.message;
    EXPECT_EQ(r.out.contents(), "") << c.message;
    EXPECT_EQ(r.err.contents().find("native_encoder_summary"), std::string::npos) << c.message;
  }
  ScreenRun denied;
  denied.access.allowed = false;
  EXPECT_EQ(denied.run().error().domain, "ScreenCaptureKit");
  EXPECT_TRUE(denied.capture.queries.empty());
}

TEST(RunScreen, AStoppedStreamOrAFailingOutputEndsTheRunAtOnceWithItsErrorAndNoSummary) {
  const struct {
    std::function<void(ScreenRun&)> change;
    std::string message;  // its start
  } cases[] = {
      {[](ScreenRun& r) { r.capture.streamScript.framesBeforeError = 3; }, "the display went away"},
      // Every write fails, as into a closed pipe.
      {[](ScreenRun& r) { r.settings.outputFd = open("/dev/null", O_RDONLY); }, "frame stream write failed"},
  };
  for (const auto& c : cases) {
    ScreenRun r;
    r.request.durationSeconds = 60;
    c.change(r);
    const auto start = std::chrono::steady_clock::now();
    const Result<void> result = r.run();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << c.message;
    ASSERT_FALSE(result.ok()) << c.message;
    EXPECT_TRUE(result.error().message.starts_with(c.message)) << result.error().message;
    EXPECT_EQ(r.err.contents().find("native_encoder_summary"), std::string::npos) << c.message;
    if (r.settings.outputFd != r.out.fd()) close(r.settings.outputFd);
  }
}

TEST(RunScreen, AKeyFrameRequestAsksTheStreamForAFreshFrame) {
  ScreenRun r;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  r.environment.inputFd = fds[0];
  ASSERT_EQ(write(fds[1], "KEYFRAME\nPAUSE\nRESUME\n", 22), 22);
  std::shared_ptr<std::atomic<int>> framesRequested;
  r.capture.onStreamMade = [&](test::FakeStream& stream) { framesRequested = stream.framesRequested; };
  ASSERT_TRUE(r.run().ok());
  EXPECT_EQ(framesRequested->load(), 2);
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
}  // namespace pelorin::capture
