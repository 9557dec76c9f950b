// Capture runs on scripted services: a display for its duration as the host asks, and a window
// found, tracked through resizes and full screen, and cropped to its content.
#include "capture/display_capture.h"
#include "capture/window_capture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <functional>

#include "capture/window_tracker.h"
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

struct FakeWindowServer final : platform::WindowServer {
  std::vector<Rect> displays;
  std::optional<Rect> bounds;
  std::vector<Rect> displayFrames() override { return displays; }
  std::optional<platform::WindowBounds> windowBounds(platform::WindowID) override {
    if (!bounds) return std::nullopt;
    return platform::WindowBounds{*bounds};
  }
};

const platform::ShareableDisplay display{9, Rect{0, 0, 1440, 900}, 1440, 900, "D"};

// One tracker on scripted services, driven tick by tick.
struct Tracking : test::EncoderHarness {
  Tracking(bool byID, Rect frame, double scale)
      : output(std::make_shared<media::ScreenOutput>(*(encoder = makeEncoder()), media::ClockAnchor{}, err.fd())),
        stream(platform::StreamConfiguration{}, {}, nullptr) {
    server.displays = {display.frame};
    capture.pointPixelScale = scale;
    output->setFrameRequester([this] { ++framesRequested; });
    tracker = std::make_unique<WindowTracker>(TrackedWindow{{77, "tab", frame}, byID, 1920, 1080, scale, &crops, &fullscreen,
                                                            output.get(), &stream, {}, &capture, &server, err.fd()});
    moveTo(frame);
  }
  // The window now has this frame, as the window server and the shareable content show it.
  void moveTo(Rect frame) {
    server.bounds = frame;
    capture.contentResult = platform::ShareableContent{.displays = {display}, .windows = {{77, "tab", frame}}};
  }
  std::vector<std::string> newLines() {
    const auto all = test::splitLines(err.contents());
    std::vector<std::string> fresh(all.begin() + static_cast<std::ptrdiff_t>(seen), all.end());
    seen = all.size();
    return fresh;
  }

  std::unique_ptr<media::HardwareEncoder> encoder;
  std::shared_ptr<media::ScreenOutput> output;
  test::FakeStream stream;
  test::FakeCapture capture;
  FakeWindowServer server;
  PendingCrop crops;
  std::atomic<bool> fullscreen{false};
  std::unique_ptr<WindowTracker> tracker;
  int framesRequested = 0;
  std::size_t seen = 1;  // the encoder's own line
};

TEST(WindowTracker, FollowsTheResizesOfAWindowByIdentifier) {
  Tracking byID(true, Rect{10, 10, 1280, 800}, 2);
  byID.server.bounds = Rect{30, 40, 1280, 800};  // moved, not resized: nothing
  byID.tracker->tick();
  EXPECT_TRUE(byID.newLines().empty());
  byID.server.bounds = Rect{10, 10, 1440, 900};
  byID.tracker->tick();
  EXPECT_EQ(byID.newLines(), (std::vector<std::string>{"capture_window crop=2880x1800 frame=1440x900 scale=2.0 fullscreen=false"}));
  ASSERT_EQ(byID.stream.configurationUpdates.size(), 1u);
  EXPECT_EQ(byID.stream.configurationUpdates[0].sourceRect, (Rect{0, 0, 1440, 900}));
  EXPECT_EQ(byID.stream.configurationUpdates[0].destinationRect, (Rect{96, 0, 1728, 1080}));
  byID.server.bounds.reset();  // a failed read keeps the applied size
  byID.tracker->tick();
  byID.server.bounds = Rect{10, 10, 1440, 900};
  byID.tracker->tick();
  EXPECT_EQ(byID.stream.configurationUpdates.size(), 1u);
  // Sizes in points become whole pixels, rounded up; by marker the host sends the crop instead.
  EXPECT_EQ(wholeWindowCrop(true, std::nullopt, Size{640.5, 480.25}, 2), (std::pair<std::int64_t, std::int64_t>{1281, 961}));
  EXPECT_FALSE(wholeWindowCrop(false, Size{1, 1}, Size{2, 2}, 1));
}

TEST(WindowTracker, SwitchesIntoAndOutOfFullScreenWithAHeldPictureAndAKeyFrame) {
  Tracking t(true, Rect{100, 100, 800, 600}, 1);
  t.moveTo(display.frame);
  t.tracker->tick();
  EXPECT_EQ(t.newLines(), (std::vector<std::string>{"capture_window mode fullscreen=true held=true",
                                                   "capture_window crop=1440x900 frame=1440x900 scale=1.0 fullscreen=true"}));
  ASSERT_EQ(t.stream.filterUpdates.size(), 1u);
  EXPECT_EQ(t.stream.filterUpdates[0].kind, platform::ContentFilter::Kind::DisplayIncludingWindows);
  EXPECT_EQ(t.stream.filterUpdates[0].windows, std::vector<platform::WindowID>{77});
  EXPECT_EQ(t.framesRequested, 1);  // released with a key frame

  t.moveTo(Rect{100, 100, 800, 600});
  t.tracker->tick();
  EXPECT_EQ(t.newLines(), (std::vector<std::string>{"capture_window mode fullscreen=false held=true",
                                                   "capture_window crop=800x600 frame=800x600 scale=1.0 fullscreen=false"}));
  EXPECT_EQ(t.stream.filterUpdates.back().kind, platform::ContentFilter::Kind::Window);
  EXPECT_EQ(t.framesRequested, 2);

  // By marker the new content size comes from the host: the hold waits for its CROP line.
  Tracking m(false, Rect{100, 100, 800, 600}, 1);
  m.moveTo(display.frame);
  m.tracker->tick();
  EXPECT_EQ(m.newLines(), (std::vector<std::string>{"capture_window mode fullscreen=true held=true"}));
  m.tracker->tick();  // still awaiting: the mode check repeats, nothing is applied
  EXPECT_TRUE(m.stream.configurationUpdates.empty());
  m.crops.set(1440, 800);
  m.tracker->tick();
  EXPECT_EQ(m.newLines(), (std::vector<std::string>{"capture_window crop=1440x800 frame=1440x900 scale=1.0 fullscreen=true"}));
  EXPECT_EQ(m.framesRequested, 1);
}

TEST(FindWindow, RetriesEvery100MillisecondsForFiveSeconds) {
  test::FakeCapture capture;
  test::CapturedFd err;
  auto now = std::chrono::steady_clock::time_point{};
  int tries = 0;
  LookupClock clock{[&] { return now; }, [&](std::chrono::milliseconds d) {
                      now += d;
                      if (++tries == 30) {  // three seconds in, the marker shows up, decomposed
                        capture.contentResult = platform::ShareableContent{
                            .windows = {{5, "Cafe\u0301 untitled"}, {6, "Café [m]"}, {7, "Café [m] too"}}};
                      }
                    }};
  Result<platform::ShareableWindow> found = findWindow(capture, "Café [m]", err.fd(), clock);
  ASSERT_TRUE(found.ok());
  EXPECT_EQ(found->windowID, 6u);
  EXPECT_EQ(tries, 30);
  EXPECT_EQ(err.contents(), "capture_window found=true title_match=marker\n");
  ASSERT_TRUE(findWindow(capture, "Cafe\u0301 u", err.fd(), clock).ok());  // canonically equal

  for (const char* marker : {"", "café [M]", "absent"}) {
    now = {};
    tries = 100;
    Result<platform::ShareableWindow> missing = findWindow(capture, marker, err.fd(), clock);
    ASSERT_FALSE(missing.ok()) << marker;
    EXPECT_EQ(missing.error().message, "shared tab window not found (title marker)");
    EXPECT_GE(now - std::chrono::steady_clock::time_point{}, std::chrono::seconds(5));
  }
}

TEST(RunWindow, StartsWithTheContentCropAndEndsOnAStoppedStream) {
  test::EncoderHarness h(1920, 1080, test::FakeScript{.deliverOnThread = true});  // the request's size
  test::FakeAccess access;
  test::FakeCapture capture;
  FakeWindowServer server;
  test::CapturedFd input;
  capture.contentResult =
      platform::ShareableContent{.displays = {display}, .windows = {{41, "shared tab", Rect{0, 0, 1280, 800}}}};
  capture.pointPixelScale = 2;
  server.bounds = Rect{0, 0, 1280, 800};
  CaptureEnvironment env{&access, &capture, &server, "/p", "x11", input.fd(), h.err.fd()};
  CaptureRequest request{.durationSeconds = 1, .windowTitle = "tab", .contentWidth = 2400, .contentHeight = 1400};
  ASSERT_TRUE(runWindow(request, *h.makeEncoder(), env).ok());
  ASSERT_EQ(capture.streams.size(), 1u);
  EXPECT_EQ(capture.streams[0].second.sourceRect, (Rect{40, 60, 1200, 700}));
  EXPECT_EQ(capture.streams[0].second.destinationRect, (Rect{35, 0, 1851, 1080}));
  const auto lines = test::splitLines(h.err.contents());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "capture_window crop=2400x1400 frame=1280x800 scale=2.0 fullscreen=false"), lines.end());
  EXPECT_TRUE(lines.back().starts_with("native_encoder_summary ")) << lines.back();

  request.windowID = 41;
  request.durationSeconds = 60;
  capture.streamScript.framesBeforeError = 2;
  EXPECT_EQ(runWindow(request, *h.makeEncoder(), env).error().message, "window_capture_stopped_the_display_went_away");
}

}  // namespace
}  // namespace pelorin::capture
