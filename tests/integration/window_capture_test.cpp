// pelorin-encoder following one window of the test display (openbox manages it), checked by the
// lines it writes and by decoding its stream.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "platform/x11_test_helpers.h"
#include "support/decoded_stream.h"
#include "support/process.h"
#include "support/x11_windows.h"

namespace pelorin::test {
namespace {

using namespace std::chrono_literals;
using platform::x11::test::Painter;

constexpr unsigned long red = 0xC03020, blue = 0x2040C0;

// Runs `steps` (each at its time from the start) while the encoder captures.
ProcessResult captureWhile(std::vector<std::string> arguments,
                           std::vector<std::pair<std::chrono::milliseconds, std::function<void()>>> steps,
                           std::vector<TimedLine> control = {}) {
  std::thread actions([&steps] {
    const auto start = std::chrono::steady_clock::now();
    for (const auto& [at, step] : steps) {
      std::this_thread::sleep_until(start + at);
      step();
    }
  });
  ProcessResult result = runProcess(binaryPath("pelorin-encoder"),
                                    {.arguments = std::move(arguments),
                                     .setEnvironment = {{"PELORIN_VIDEO_ENCODER", "software"}},
                                     .keepInputOpen = true,
                                     .timedInput = std::move(control)});
  actions.join();
  return result;
}

// The capture_window lines, in order.
std::vector<std::string> windowLines(const std::string& err) {
  std::vector<std::string> found;
  for (const std::string& line : splitLines(err)) {
    if (line.starts_with("capture_window")) found.push_back(line);
  }
  return found;
}

// The crop line of a window whose whole frame is shown, or of `crop` pixels of it.
std::string cropLine(FrameSize frame, bool fullscreen, std::optional<FrameSize> crop = {}) {
  const FrameSize c = crop.value_or(frame);
  return "capture_window crop=" + std::to_string(c.width) + "x" + std::to_string(c.height) + " frame=" +
         std::to_string(frame.width) + "x" + std::to_string(frame.height) + " scale=1.0 fullscreen=" +
         (fullscreen ? "true" : "false");
}

class WindowCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(platform::x11::test::haveDisplay() && windows.ok() && painter.ok()) << "these tests need an X display";
  }

  ManagedWindows windows;
  Painter painter;
};

// By identifier: covered, resized, made full screen and back, then destroyed.
TEST_F(WindowCapture, AWindowByIdentifierIsFollowedThroughResizeAndFullScreenUntilItsEnd) {
  const Window window = windows.create({.width = 400, .height = 300, .rgb = red, .title = "followed"});
  ASSERT_TRUE(windows.waitManaged(window));
  // Over the window: the capture must show the window's own pixels, not this.
  const Window cover = painter.fill(0, 0, 1920, 1200, blue);
  const FrameSize before = windows.frameSize(window), resized{600, 200};
  const std::string id = std::to_string(window);
  std::uint64_t entered = 0, left = 0, destroyed = 0;
  bool resizedInTime = false;
  const ProcessResult result = captureWhile(
      {"--source", "window", "--window-id", id, "--width", "640", "--height", "400", "--duration", "10"},
      {{1200ms, [&] { resizedInTime = windows.setFrameSize(window, resized.width, resized.height); }},
       {2500ms,
        [&] {
          XUnmapWindow(painter.display(), cover);
          XSync(painter.display(), False);
          entered = unixNanoseconds();
          ASSERT_EQ(std::system(("wmctrl -i -r " + id + " -b add,fullscreen").c_str()), 0);
        }},
       {4000ms,
        [&] {
          left = unixNanoseconds();
          ASSERT_EQ(std::system(("wmctrl -i -r " + id + " -b remove,fullscreen").c_str()), 0);
        }},
       {5500ms, [&] {
          destroyed = unixNanoseconds();
          windows.destroy(window);
        }}});
  EXPECT_TRUE(resizedInTime);
  // The window's end ends the run within a second, with the reason and without a summary.
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_LT(result.elapsed, 7000ms);
  const std::vector<std::string> lines = splitLines(result.err);
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(lines.back().starts_with("native_encoder_error reason=window_capture_stopped_")) << result.err;
  EXPECT_EQ(result.err.find("native_encoder_summary"), std::string::npos) << result.err;
  EXPECT_NE(std::find(lines.begin(), lines.end(), "capture_start capture=x11_window width=640 height=400 fps=30 "
                                                  "abs_capture_time_source=capture queue_capacity=3"),
            lines.end())
      << result.err;

  // The window sits on the left monitor (1920 x 1200). Entering and leaving full screen, the window
  // manager may pass through intermediate geometries that a tick crops to.
  const std::vector<std::string> modes = windowLines(result.err);
  ASSERT_GE(modes.size(), 6u) << result.err;
  EXPECT_EQ(modes[0], cropLine(before, false));
  EXPECT_EQ(modes[1], cropLine(resized, false));
  const auto entering = std::find(modes.begin(), modes.end(), "capture_window mode fullscreen=true held=true");
  const auto leaving = std::find(entering, modes.end(), "capture_window mode fullscreen=false held=true");
  ASSERT_TRUE(leaving != modes.end()) << result.err;
  EXPECT_EQ(*(entering + 1), cropLine({1920, 1200}, true));
  for (auto line = modes.begin() + 2; line != modes.end(); ++line) {
    if (line != entering && line != leaving) {
      EXPECT_TRUE(line->starts_with("capture_window crop=")) << *line;
    }
  }
  EXPECT_EQ(modes.back(), cropLine(resized, false)) << result.err;

  const DecodedStream stream = expectDecodes(result);
  ASSERT_TRUE(stream.records.front().picture);
  const auto& first = *stream.records.front().picture;
  EXPECT_EQ(first.width, 640);
  EXPECT_EQ(first.height, 400);
  expectColour(first, 320, 200, red, "the covered window's middle, first frame");
  EXPECT_LT(stream.records.back().record.captureNanoseconds, destroyed + 1'000'000'000);
  // In full screen: a key frame, and 1920 x 1200 filling 640 x 400 exactly, the window's colour in
  // the corners.
  const DecodedRecord *key = nullptr, *full = nullptr;
  for (const auto& r : stream.records) {
    if (r.record.captureNanoseconds <= entered || r.record.captureNanoseconds >= left) continue;
    if (r.record.keyFrame) key = &r;
    full = &r;
  }
  EXPECT_NE(key, nullptr) << "no key frame in full screen";
  ASSERT_TRUE(full && full->picture) << "nothing sent in full screen";
  for (auto [x, y] : {std::pair{320, 200}, {4, 4}, {636, 396}}) expectColour(*full->picture, x, y, red, "full screen");
  const DecodedRecord* back = keyFrameAfter(stream, left);
  ASSERT_TRUE(back && back->picture) << "no key frame after leaving full screen";
  // The wide window again: letterboxed with bars above and below.
  expectColour(*back->picture, 320, 200, red, "the window again");
  expectColour(*back->picture, 320, 4, 0x000000, "the bar above the window");
  expectColour(*back->picture, 320, 395, 0x000000, "the bar below the window");
}

TEST_F(WindowCapture, AWindowFoundByALateMarkerFollowsTheHostsCrop) {
  const std::string marker = "pelorin-marker-" + std::to_string(::getpid());
  FrameSize frame;
  const ProcessResult result = captureWhile(
      {"--source", "window", "--window-title", marker, "--content-width", "200", "--content-height", "100", "--width",
       "640", "--height", "320", "--duration", "4"},
      {{2000ms, [&] {
          const Window window =
              windows.create({.width = 500, .height = 300, .rgb = blue, .title = "tab " + marker + " - browser"});
          frame = windows.frameSize(window);
        }}},
      {{3200ms, "CROP 400 200"}});
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  const std::vector<std::string> expected = {
      "capture_window found=true title_match=marker",
      cropLine(frame, false, FrameSize{200, 100}),
      cropLine(frame, false, FrameSize{400, 200}),
  };
  EXPECT_EQ(windowLines(result.err), expected) << result.err;
  const DecodedStream stream = expectDecodes(result);
  ASSERT_TRUE(stream.records.back().picture);
  // The content crop (bottom-aligned, centred) lies in the window's blue client area.
  for (auto [x, y] : {std::pair{320, 160}, {20, 20}, {620, 300}}) {
    expectColour(*stream.records.back().picture, x, y, blue, "cropped content");
  }
}

}  // namespace
}  // namespace pelorin::test
