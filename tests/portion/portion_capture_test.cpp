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

namespace pelorin::portion {
namespace {

// A pipe whose write end stays open: a host that keeps the encoder's standard input.
struct OpenInput {
  OpenInput() { EXPECT_EQ(::pipe(fds), 0); }
  ~OpenInput() { for (int fd : fds) ::close(fd); }  // -1 once closed: harmless
  int fds[2] = {-1, -1};
};

TEST(RunPortion, RefusesBeforeCapturing) {
  struct Run : test::EncoderHarness {
    Run() : EncoderHarness(64, 36, test::FakeScript{.deliverOnThread = true}) {
      capture.contentResult = platform::ShareableContent{{{6, Rect{1920, 0, 1920, 1080}, 1920, 1080, ""}}, {}};
    }
    OpenInput input;
    test::FakeAccess access;
    test::FakeCapture capture;
    capture::CaptureRequest request{.width = 64, .height = 36, .fps = 20, .durationSeconds = 1, .displayID = 6,
                                    .portion = Rect{100, 50, 640, 360}};
    std::optional<Error> frameError;
    bool frameAsked = false;
  };
  const std::tuple<std::function<void(Run&)>, std::string, bool> cases[] = {
      {[](Run& r) { r.access.allowed = false; }, "screen capture permission missing executable=/bin/enc", false},
      {[](Run& r) { r.request.displayID = 9; }, "display not found (9)", false},
      {[](Run& r) { r.frameError = Error{"X11Capture", -1, "display not found (6)"}; }, "display not found (6)", true},
  };
  for (const auto& [change, description, frameAsked] : cases) {
    Run r;
    change(r);
    const Result<void> outcome =
        runPortion(r.request, *r.makeEncoder(),
                   {.access = &r.access, .capture = &r.capture, .programPath = "/bin/enc", .inputFd = r.input.fds[0],
                    .errorFd = r.err.fd()},
                   [&r](const PortionFrameSetup&) -> Result<void> {
                     r.frameAsked = true;
                     if (r.frameError) return *r.frameError;
                     return {};
                   });
    ASSERT_FALSE(outcome.ok()) << description;
    EXPECT_EQ(outcome.error().description(), description);
    EXPECT_EQ(r.frameAsked, frameAsked) << description;
    EXPECT_EQ(r.err.contents().find("capture_start"), std::string::npos) << description;
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

// The words a watch says within 300 ms; the watch threads may outlive the test, not `words`.
std::vector<std::string> watchWords(int input, double timeout) {
  auto words = std::make_shared<std::pair<std::mutex, std::vector<std::string>>>();
  watchPortionSelection(input, timeout, [words](const std::string& w) {
    std::lock_guard lock(words->first);
    words->second.push_back(w);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::lock_guard lock(words->first);
  return words->second;
}

TEST(WatchPortionSelection, TimesOutAndSpeaksOnceWhenInputEndsAtTheSameMoment) {
  OpenInput open;
  EXPECT_EQ(watchWords(open.fds[0], 0.1), std::vector<std::string>{"portion_timeout"});
  for (int i = 0; i < 10; ++i) {  // both at once: never two words
    OpenInput both;
    ::close(std::exchange(both.fds[1], -1));
    EXPECT_EQ(watchWords(both.fds[0], 0).size(), 1u);
  }
}

}  // namespace
}  // namespace pelorin::portion
