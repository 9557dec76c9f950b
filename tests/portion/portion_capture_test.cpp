// The portion capture run and the watch of a selection, on scripted platforms.
#include "portion/portion_capture.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <future>
#include <thread>

#include "capture/capture_configuration.h"
#include "media/encoder_harness.h"
#include "portion/selection_watch.h"
#include "support/fake_screen_capture.h"
#include "support/process.h"

namespace pelorin::portion {
namespace {

// A pipe whose write end stays open: a host that keeps the encoder's standard input.
struct OpenInput {
  OpenInput() { EXPECT_EQ(::pipe(fds), 0); }
  ~OpenInput() {
    for (int fd : fds) ::close(fd);  // -1 once closed: harmless
  }
  void closeWriteEnd() { ::close(std::exchange(fds[1], -1)); }
  int fds[2] = {-1, -1};
};

struct PortionRun : test::EncoderHarness {
  PortionRun() : EncoderHarness(64, 36, test::FakeScript{.deliverOnThread = true}) {
    capture.contentResult = platform::ShareableContent{
        {{5, Rect{0, 0, 1920, 1200}, 1920, 1200, "LEFT"}, {6, Rect{1920, 0, 1920, 1080}, 1920, 1080, ""}}, {}};
    environment = {.access = &access, .capture = &capture, .programPath = "/opt/pelorin/pelorin-encoder",
                   .inputFd = input.fds[0], .errorFd = err.fd()};
    request = {.width = 64, .height = 36, .fps = 20, .durationSeconds = 1, .displayID = 6,
               .portion = Rect{100, 50, 640, 360}};
  }
  // The frame is shown, or fails with frameError.
  Result<void> run() {
    return runPortion(request, *makeEncoder(), environment, [this](const PortionFrameSetup& setup) -> Result<void> {
      shown = setup;
      if (frameError) return *frameError;
      return {};
    });
  }

  OpenInput input;
  test::FakeAccess access;
  test::FakeCapture capture;
  capture::CaptureEnvironment environment;
  capture::CaptureRequest request;
  std::optional<Error> frameError;
  std::optional<PortionFrameSetup> shown;
};

TEST(RunPortion, RefusesBeforeCapturing) {
  const struct {
    std::function<void(PortionRun&)> change;
    std::string description;
    bool frameAsked = false;
  } cases[] = {
      {[](PortionRun& r) { r.access.allowed = false; },
       "screen capture permission missing executable=/opt/pelorin/pelorin-encoder"},
      {[](PortionRun& r) { r.request.portion.reset(); }, "invalid arguments"},
      {[](PortionRun& r) { r.request.displayID.reset(); }, "invalid arguments"},
      {[](PortionRun& r) { r.request.displayID = 9; }, "display not found (9)"},
      {[](PortionRun& r) { r.capture.contentResult = Error{"ScreenCaptureKit", 3, "no content"}; }, "no content"},
      {[](PortionRun& r) { r.frameError = Error{"ScreenCaptureKit", -1, "display not found (6)"}; },
       "display not found (6)", true},
  };
  for (const auto& c : cases) {
    PortionRun r;
    c.change(r);
    const Result<void> outcome = r.run();
    ASSERT_FALSE(outcome.ok()) << c.description;
    EXPECT_EQ(outcome.error().description(), c.description);
    EXPECT_EQ(r.shown.has_value(), c.frameAsked) << c.description;
    EXPECT_EQ(r.err.contents().find("capture_start"), std::string::npos) << c.description;
    EXPECT_TRUE(r.out.contents().empty());
  }
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

// The words a watch says within a while; the watch threads may outlive the test, not `words`.
std::vector<std::string> watchWords(int input, double timeout, const std::function<void()>& meanwhile) {
  auto words = std::make_shared<std::pair<std::mutex, std::vector<std::string>>>();
  watchPortionSelection(input, timeout, [words](const std::string& w) {
    std::lock_guard lock(words->first);
    words->second.push_back(w);
  });
  meanwhile();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::lock_guard lock(words->first);
  return words->second;
}

TEST(WatchPortionSelection, TimesOutAndSpeaksOnceWhenInputEndsAtTheSameMoment) {
  OpenInput open;
  EXPECT_EQ(watchWords(open.fds[0], 0.1, [] {}), std::vector<std::string>{"portion_timeout"});
  for (int i = 0; i < 10; ++i) {  // both at once: never two words
    OpenInput both;
    both.closeWriteEnd();
    EXPECT_EQ(watchWords(both.fds[0], 0, [] {}).size(), 1u);
  }
}

}  // namespace
}  // namespace pelorin::portion
