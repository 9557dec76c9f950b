#include "capture/display_capture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>

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

std::string lastLine(const std::string& text) {
  const auto lines = test::splitLines(text);
  return lines.empty() ? "" : lines.back();
}

TEST(RunScreen, CapturesTheRequestedDisplayForTheDurationAndFinishes) {
  ScreenRun r;
  r.request.displayID = 6;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(r.run().ok());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(950));

  ASSERT_EQ(r.capture.streams.size(), 1u);
  const auto& [filter, configuration] = r.capture.streams[0];
  EXPECT_EQ(filter.displayID, 6u);
  EXPECT_TRUE(filter.windows.empty());
  EXPECT_EQ(configuration.width, 64);
  EXPECT_EQ(configuration.height, 32);
  EXPECT_EQ(configuration.minimumFrameInterval.value, 1);
  EXPECT_EQ(configuration.minimumFrameInterval.timescale, 20);
  EXPECT_EQ(configuration.queueDepth, 3);
  EXPECT_TRUE(configuration.showsCursor);
  EXPECT_FALSE(configuration.capturesAudio);
  EXPECT_GT(r.factory.log.submissions.size(), 10u);
  EXPECT_FALSE(r.out.contents().empty());
  EXPECT_TRUE(lastLine(r.err.contents()).starts_with("native_encoder_summary encoded_frames=")) << r.err.contents();
}

TEST(RunScreen, WithoutARequestTheFirstDisplayIsCaptured) {
  ScreenRun r;
  ASSERT_TRUE(r.run().ok());
  ASSERT_EQ(r.capture.streams.size(), 1u);
  EXPECT_EQ(r.capture.streams[0].first.displayID, 5u);
}

TEST(RunScreen, RefusesWithoutPermissionOrDisplayBeforeCapturing) {
  ScreenRun denied;
  denied.access.allowed = false;
  Result<void> result = denied.run();
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().domain, "ScreenCaptureKit");
  EXPECT_EQ(result.error().message, "screen capture permission missing executable=/opt/pelorin/pelorin-encoder");
  EXPECT_TRUE(denied.capture.queries.empty());

  ScreenRun unknown;
  unknown.request.displayID = 7;
  result = unknown.run();
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().message, "display not found (7)");

  ScreenRun none;
  none.capture.contentResult = platform::ShareableContent{};
  result = none.run();
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().message, "no display available");

  ScreenRun failing;
  failing.capture.contentResult = Error{"X11Capture", 2, "cannot open the display"};
  result = failing.run();
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().message, "cannot open the display");
  for (const ScreenRun* r : {&denied, &unknown, &none, &failing}) {
    EXPECT_TRUE(r->capture.streams.empty());
    EXPECT_EQ(r->out.contents(), "");
    EXPECT_EQ(r->err.contents().find("native_encoder_summary"), std::string::npos);
  }
}

TEST(RunScreen, AStreamThatStopsWithAnErrorEndsTheRunAtOnceWithThatError) {
  ScreenRun r;
  r.request.durationSeconds = 60;
  r.capture.streamScript.framesBeforeError = 3;
  const auto start = std::chrono::steady_clock::now();
  const Result<void> result = r.run();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().domain, "FakeCapture");
  EXPECT_EQ(result.error().message, "the display went away");
  EXPECT_EQ(r.err.contents().find("native_encoder_summary"), std::string::npos);
}

TEST(RunScreen, AnOutputThatFailsEndsTheRunAtOnceWithoutASummary) {
  ScreenRun r;
  r.request.durationSeconds = 60;
  r.settings.outputFd = open("/dev/null", O_RDONLY);  // every write fails, as into a closed pipe
  const auto start = std::chrono::steady_clock::now();
  const Result<void> result = r.run();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  ASSERT_FALSE(result.ok());
  EXPECT_TRUE(result.error().message.starts_with("frame stream write failed")) << result.error().message;
  EXPECT_EQ(r.err.contents().find("native_encoder_summary"), std::string::npos);
  close(r.settings.outputFd);
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
