// pelorin-encoder following one window of the test display through the window manager (openbox):
// covered, resized, made full screen and back, then destroyed.
#include <gtest/gtest.h>

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

std::string cropLine(FrameSize frame, bool fullscreen) {
  return "capture_window crop=" + std::to_string(frame.width) + "x" + std::to_string(frame.height) + " frame=" +
         std::to_string(frame.width) + "x" + std::to_string(frame.height) + " scale=1.0 fullscreen=" +
         (fullscreen ? "true" : "false");
}

TEST(WindowCapture, AWindowByIdentifierIsFollowedThroughResizeAndFullScreenUntilItsEnd) {
  ManagedWindows windows;
  Painter painter;
  ASSERT_TRUE(platform::x11::test::haveDisplay() && windows.ok() && painter.ok()) << "this test needs an X display";
  const Window window = windows.create({.width = 400, .height = 300, .rgb = red, .title = "followed"});
  ASSERT_TRUE(windows.waitManaged(window));
  // Over the window: the capture must show the window's own pixels, not this.
  const Window cover = painter.fill(0, 0, 1920, 1200, blue);
  const FrameSize before = windows.frameSize(window), resized{600, 200};
  const std::string id = std::to_string(window);
  std::uint64_t entered = 0, left = 0, destroyed = 0;
  bool resizedInTime = false;
  std::thread user([&] {
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_until(start + 1200ms);
    resizedInTime = windows.setFrameSize(window, resized.width, resized.height);
    std::this_thread::sleep_until(start + 2500ms);
    XUnmapWindow(painter.display(), cover);
    XSync(painter.display(), False);
    entered = unixNanoseconds();
    EXPECT_EQ(std::system(("wmctrl -i -r " + id + " -b add,fullscreen").c_str()), 0);
    std::this_thread::sleep_until(start + 4000ms);
    left = unixNanoseconds();
    EXPECT_EQ(std::system(("wmctrl -i -r " + id + " -b remove,fullscreen").c_str()), 0);
    std::this_thread::sleep_until(start + 5500ms);
    destroyed = unixNanoseconds();
    windows.destroy(window);
  });
  const ProcessResult result = runProcess(
      binaryPath("pelorin-encoder"),
      {.arguments = {"--source", "window", "--window-id", id, "--width", "640", "--height", "400", "--duration", "10"},
       .setEnvironment = {{"PELORIN_VIDEO_ENCODER", "software"}},
       .closeInputAt = 60s});
  user.join();
  EXPECT_TRUE(resizedInTime);
  // The window's end ends the run within a second, with the reason and without a summary.
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_LT(result.elapsed, 7000ms);
  const std::vector<std::string> lines = splitLines(result.err);
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(lines.back().starts_with("native_encoder_error reason=window_capture_stopped_")) << result.err;
  EXPECT_EQ(result.err.find("native_encoder_summary"), std::string::npos) << result.err;
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "capture_start capture=x11_window width=640 height=400 fps=30 "
                                                   "abs_capture_time_source=capture queue_capacity=3"),
            1)
      << result.err;

  // The window sits on the left monitor (1920 x 1200). Entering and leaving full screen, the window
  // manager may pass through intermediate geometries that a tick crops to.
  std::vector<std::string> modes;
  std::copy_if(lines.begin(), lines.end(), std::back_inserter(modes),
               [](const std::string& line) { return line.starts_with("capture_window"); });
  ASSERT_GE(modes.size(), 6u) << result.err;
  EXPECT_EQ(modes[0], cropLine(before, false));
  EXPECT_EQ(modes[1], cropLine(resized, false));
  const auto entering = std::find(modes.begin(), modes.end(), "capture_window mode fullscreen=true held=true");
  const auto leaving = std::find(entering, modes.end(), "capture_window mode fullscreen=false held=true");
  ASSERT_TRUE(leaving != modes.end()) << result.err;
  EXPECT_EQ(*(entering + 1), cropLine({1920, 1200}, true));
  for (auto line = modes.begin() + 2; line != modes.end(); ++line) {
    if (line != entering && line != leaving) EXPECT_TRUE(line->starts_with("capture_window crop=")) << *line;
  }
  EXPECT_EQ(modes.back(), cropLine(resized, false)) << result.err;

  const DecodedStream stream = expectDecodes(result);
  ASSERT_TRUE(stream.records.front().picture);
  const auto& first = *stream.records.front().picture;
  EXPECT_EQ(std::pair(first.width, first.height), std::pair(640, 400));
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

}  // namespace
}  // namespace pelorin::test
