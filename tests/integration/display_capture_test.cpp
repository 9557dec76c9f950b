// pelorin-encoder capturing the test display's monitors, checked by decoding what it writes.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "platform/x11_test_helpers.h"
#include "support/decoded_stream.h"
#include "support/key_values.h"
#include "support/process.h"

namespace pelorin::test {
namespace {

using platform::x11::test::Painter;

constexpr unsigned long red = 0xC03020, blue = 0x2040C0, grey = 0x808080;

std::string encoder() { return binaryPath("pelorin-encoder"); }

// Encoder arguments, run with the software encoder; `control` lines go to its standard input
// at their times while it runs.
ProcessResult capture(std::vector<std::string> arguments, std::vector<TimedLine> control = {}) {
  ProcessOptions options;
  options.setEnvironment = {{"PELORIN_VIDEO_ENCODER", "software"}};
  options.arguments = std::move(arguments);
  options.keepInputOpen = true;
  options.timedInput = std::move(control);
  return runProcess(encoder(), options);
}

// The first record captured at or after `unixNanoseconds` (less a frame of slack: a frame
// captured just before a request may be submitted just after it).
const DecodedRecord* firstRecordFrom(const DecodedStream& stream, std::uint64_t unixNanoseconds) {
  for (const auto& r : stream.records) {
    if (r.record.captureNanoseconds + 40'000'000 >= unixNanoseconds) return &r;
  }
  return nullptr;
}

// Keeps one monitor changing by recolouring a window on it, at about 60 Hz.
class Animator {
 public:
  Animator(int x, int y, int width, int height) : thread_([=, this] {
      Painter painter;
      const auto window = painter.fill(x, y, width, height, 0x000000);
      for (unsigned long step = 0; !stop_; ++step) {
        painter.recolour(window, (step * 0x050301) & 0xFFFFFF);
        std::this_thread::sleep_for(std::chrono::milliseconds(16));
      }
    }) {}
  ~Animator() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class DisplayCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(platform::x11::test::haveDisplay()) << "these tests need an X display (scripts/test starts one)";
    ASSERT_TRUE(painter.ok());
    left = std::to_string(XInternAtom(painter.display(), "LEFT", True));
    right = std::to_string(XInternAtom(painter.display(), "RIGHT", True));
    ASSERT_NE(left, "0");
    ASSERT_NE(right, "0");
  }

  DecodedStream decoded(const ProcessResult& run) {
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    DecodedStream stream = decodeStream(run.out);
    EXPECT_FALSE(stream.fault) << *stream.fault;
    EXPECT_FALSE(stream.records.empty()) << run.err;
    return stream;
  }

  Painter painter;
  std::string left, right;
};

TEST_F(DisplayCapture, EachMonitorShowsItsOwnPictureAtTheRequestedSize) {
  painter.fill(0, 0, 1920, 1200, red);
  painter.fill(1920, 0, 1920, 1080, blue);
  painter.warpPointer(1920 + 1900, 1060);
  const DecodedStream leftStream =
      decoded(capture({"--display-id", left, "--width", "640", "--height", "400", "--duration", "1"}));
  ASSERT_FALSE(leftStream.records.empty());
  ASSERT_TRUE(leftStream.records.front().picture);
  const auto& l = *leftStream.records.front().picture;
  EXPECT_EQ(l.width, 640);
  EXPECT_EQ(l.height, 400);
  EXPECT_TRUE(leftStream.records.front().record.keyFrame);
  for (auto [x, y] : {std::pair{320, 200}, {4, 4}, {636, 396}}) expectColour(l, x, y, red, "left monitor");

  painter.warpPointer(10, 10);
  const DecodedStream rightStream =
      decoded(capture({"--display-id", right, "--width", "640", "--height", "360", "--duration", "1"}));
  ASSERT_FALSE(rightStream.records.empty());
  ASSERT_TRUE(rightStream.records.front().picture);
  const auto& r = *rightStream.records.front().picture;
  EXPECT_EQ(r.width, 640);
  EXPECT_EQ(r.height, 360);
  for (auto [x, y] : {std::pair{320, 180}, {4, 4}, {636, 356}}) expectColour(r, x, y, blue, "right monitor");
}

TEST_F(DisplayCapture, AScaledCaptureKeepsTheAspectRatioWithBlackBars) {
  painter.fill(0, 0, 1920, 1200, red);
  painter.warpPointer(1920 + 1900, 1060);
  // 1920 x 1200 into 640 x 360: 576 x 360 in the middle, 32 black columns on each side.
  const DecodedStream stream =
      decoded(capture({"--display-id", left, "--width", "640", "--height", "360", "--duration", "1"}));
  ASSERT_FALSE(stream.records.empty());
  ASSERT_TRUE(stream.records.front().picture);
  const auto& p = *stream.records.front().picture;
  ASSERT_EQ(p.width, 640);
  for (int x : {2, 28, 612, 637}) expectColour(p, x, 180, 0x000000, "bar at x=" + std::to_string(x));
  for (int x : {36, 320, 603}) expectColour(p, x, 180, red, "content at x=" + std::to_string(x));
}

TEST_F(DisplayCapture, TheCursorShowsWhereThePointerIsOnTheSecondMonitor) {
  painter.fill(1920, 0, 1920, 1080, grey);
  painter.warpPointer(1920 + 600, 400);
  const DecodedStream stream =
      decoded(capture({"--display-id", right, "--width", "1920", "--height", "1080", "--duration", "1"}));
  ASSERT_FALSE(stream.records.empty());
  ASSERT_TRUE(stream.records.back().picture);
  const auto& p = *stream.records.back().picture;
  const int background = bt601(grey).y;
  auto differing = [&](int x0, int y0) {
    int count = 0;
    for (int y = y0; y < y0 + 24; ++y) {
      for (int x = x0; x < x0 + 24; ++x) count += std::abs(yuvAt(p, x, y).y - background) > 50;
    }
    return count;
  };
  EXPECT_GT(differing(594, 394), 20) << "no cursor near the pointer";
  EXPECT_EQ(differing(1200, 800), 0) << "cursor-like pixels away from the pointer";
}

TEST_F(DisplayCapture, PauseStopsRecordsAndResumeBringsAKeyFrame) {
  Animator animator(0, 0, 1920, 1200);
  using std::chrono::milliseconds;
  const ProcessResult run = capture({"--display-id", left, "--width", "640", "--height", "400", "--duration", "4"},
                                    {{milliseconds(1200), "PAUSE"}, {milliseconds(2700), "RESUME"}});
  const DecodedStream stream = decoded(run);
  ASSERT_EQ(run.timedInputWrittenAt.size(), 2u);
  const std::uint64_t paused = run.timedInputWrittenAt[0], resumed = run.timedInputWrittenAt[1];
  std::size_t before = 0, during = 0;
  for (const auto& r : stream.records) {
    const std::uint64_t t = r.record.captureNanoseconds;
    before += t < paused;
    during += t > paused + 100'000'000 && t + 40'000'000 < resumed;
  }
  EXPECT_GT(before, 5u);
  EXPECT_EQ(during, 0u) << "records kept coming while paused";
  const DecodedRecord* first = firstRecordFrom(stream, resumed);
  ASSERT_NE(first, nullptr) << "no records after RESUME";
  EXPECT_TRUE(first->record.keyFrame) << "the first frame after RESUME is not a key frame";
  const auto lines = splitLines(run.err);
  EXPECT_TRUE(lineStarting(lines, "capture_window paused=true"));
  EXPECT_TRUE(lineStarting(lines, "capture_window paused=false"));
}

TEST_F(DisplayCapture, KeyframeBringsAKeyFrameAtOnce) {
  Animator animator(0, 0, 1920, 1200);
  using std::chrono::milliseconds;
  const ProcessResult run =
      capture({"--display-id", left, "--width", "640", "--height", "400", "--fps", "30", "--duration", "3"},
              {{milliseconds(800), "KEYFRAME"}, {milliseconds(1700), "KEYFRAME"}});
  const DecodedStream stream = decoded(run);
  ASSERT_GT(stream.records.size(), 30u);
  ASSERT_EQ(run.timedInputWrittenAt.size(), 2u);
  // Regular key frames are a second apart; a requested one follows the request within a few frames.
  for (const std::uint64_t requested : run.timedInputWrittenAt) {
    const DecodedRecord* key = nullptr;
    for (const auto& r : stream.records) {
      if (r.record.keyFrame && r.record.captureNanoseconds + 40'000'000 >= requested) {
        key = &r;
        break;
      }
    }
    ASSERT_NE(key, nullptr);
    EXPECT_LT(key->record.captureNanoseconds, requested + 200'000'000) << "no key frame soon after KEYFRAME";
  }
}

TEST_F(DisplayCapture, ClosingStandardInputDoesNotShortenTheRun) {
  ProcessOptions options;
  options.setEnvironment = {{"PELORIN_VIDEO_ENCODER", "software"}};
  options.arguments = {"--display-id", left, "--width", "320", "--height", "200", "--duration", "2"};
  options.input = "";
  const auto start = std::chrono::steady_clock::now();
  const ProcessResult run = runProcess(encoder(), options);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1900));
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  const auto lines = splitLines(run.err);
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(lines.back().starts_with("native_encoder_summary ")) << lines.back();
}

TEST_F(DisplayCapture, WithoutOptionsTheFirstDisplayIsCapturedAndTheLinesComeInOrder) {
  painter.fill(0, 0, 1920, 1200, red);
  const ProcessResult run = capture({"--duration", "1"});
  const DecodedStream stream = decoded(run);
  ASSERT_FALSE(stream.records.empty());
  ASSERT_TRUE(stream.records.front().picture);
  EXPECT_EQ(stream.records.front().picture->width, 1920);
  EXPECT_EQ(stream.records.front().picture->height, 1080);
  expectColour(*stream.records.front().picture, 960, 540, red, "first display");

  std::vector<std::string> events;
  for (const auto& line : splitLines(run.err)) {
    if (line.starts_with("capture_frame_info ")) continue;
    events.push_back(line.substr(0, line.find(' ')) + (line.starts_with("capture_clock_anchor")
                                                           ? " " + keyValues(line).at("phase")
                                                           : ""));
  }
  EXPECT_EQ(events, (std::vector<std::string>{"capture_encoder", "capture_clock_anchor start", "capture_start",
                                              "capture_clock_anchor end", "native_encoder_summary"}))
      << run.err;
  const auto start = lineStarting(splitLines(run.err), "capture_start ");
  ASSERT_TRUE(start);
  EXPECT_EQ(*start, "capture_start capture=x11 width=1920 height=1080 fps=30 abs_capture_time_source=capture "
                    "queue_capacity=3");
}

std::uint64_t unixNow() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch()).count());
}

// Damage-driven capture sends nothing while the screen is still; yet a key frame asked for, a resume,
// and a picture that turns black and stays black must all reach the receiver.
TEST_F(DisplayCapture, AStillScreenStillAnswersKeyFramesResumesAndABlackPictureThatStays) {
  const Window window = painter.fill(0, 0, 1920, 1200, grey);
  painter.warpPointer(1920 + 1900, 1060);
  std::atomic<std::uint64_t> blackAt{0};
  std::thread blacken([&] {
    Painter other;
    std::this_thread::sleep_for(std::chrono::milliseconds(2200));
    other.fill(0, 0, 1920, 1200, 0x000000);
    blackAt = unixNow();
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  });
  using std::chrono::milliseconds;
  const ProcessResult run =
      capture({"--display-id", left, "--width", "640", "--height", "400", "--fps", "30", "--duration", "4"},
              {{milliseconds(800), "KEYFRAME"}, {milliseconds(1300), "PAUSE"}, {milliseconds(1600), "RESUME"}});
  blacken.join();
  (void)window;
  const DecodedStream stream = decoded(run);
  EXPECT_LE(stream.records.size(), 12u) << "a still screen kept producing frames";
  ASSERT_EQ(run.timedInputWrittenAt.size(), 3u);
  for (const std::uint64_t requested : {run.timedInputWrittenAt[0], run.timedInputWrittenAt[2]}) {
    const DecodedRecord* next = firstRecordFrom(stream, requested);
    ASSERT_NE(next, nullptr) << "nothing after a request on a still screen";
    EXPECT_TRUE(next->record.keyFrame);
    EXPECT_LT(next->record.captureNanoseconds, requested + 150'000'000) << "the key frame came late";
  }
  const DecodedRecord* black = firstRecordFrom(stream, blackAt + 400'000'000);
  ASSERT_NE(black, nullptr) << "the black picture was never sent";
  ASSERT_TRUE(black->picture);
  EXPECT_LE(yuvAt(*black->picture, 320, 200).y, 20);
}

TEST_F(DisplayCapture, AReaderThatGoesAwayEndsTheRunAtOnce) {
  Animator animator(0, 0, 1920, 1200);
  ProcessOptions options;
  options.setEnvironment = {{"PELORIN_VIDEO_ENCODER", "software"}};
  options.arguments = {"--display-id", left, "--width", "640", "--height", "400", "--duration", "30"};
  options.keepInputOpen = true;
  options.closeOutputAfter = 1000;
  const ProcessResult run = runProcess(encoder(), options);
  EXPECT_LT(run.elapsed, std::chrono::seconds(10));
  EXPECT_EQ(run.exitStatus, 1);
  const auto lines = splitLines(run.err);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "native_encoder_error reason=frame_stream_write_failed:_Broken_pipe");
  EXPECT_FALSE(lineStarting(lines, "native_encoder_summary"));
}

TEST_F(DisplayCapture, AnUnknownDisplayIsNamedInTheError) {
  const ProcessResult run = capture({"--display-id", "12345", "--duration", "1"});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.out, "");
  const auto lines = splitLines(run.err);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "native_encoder_error reason=display_not_found__12345_");
}

TEST(DisplayCaptureWithoutDisplay, FailsWithThePermissionError) {
  ProcessOptions options;
  options.setEnvironment = {{"PELORIN_VIDEO_ENCODER", "software"}};
  options.unsetEnvironment = {"DISPLAY", "WAYLAND_DISPLAY"};
  options.arguments = {"--duration", "1"};
  const ProcessResult run = runProcess(encoder(), options);
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.out, "");
  const auto lines = splitLines(run.err);
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(lines.back().starts_with("native_encoder_error reason=screen_capture_permission_missing_executable_/"))
      << lines.back();
}

}  // namespace
}  // namespace pelorin::test
