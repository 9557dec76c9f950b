// pelorin-encoder capturing the test display's monitors as a host runs it: its command line, its
// lines in order, the end of the run and control lines reaching the stream, checked by decoding
// what it writes.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/x11_test_helpers.h"
#include "support/decoded_stream.h"
#include "support/process.h"

namespace pelorin::test {
namespace {

using namespace std::chrono_literals;
using platform::x11::test::Painter;

constexpr unsigned long red = 0xC03020, grey = 0x808080;

// The second monitor changes for two seconds and then stands still. A KEYFRAME while it changes, a
// RESUME and a KEYFRAME once it stands still must each bring a key frame at once; nothing comes
// while paused, and little while the screen is still. The end of the input does not end the run.
TEST(DisplayCapture, ControlLinesBringKeyFramesAtOnceAndPauseWithholdsRecordsOnAChangingOrStillScreen) {
  Painter painter;
  ASSERT_TRUE(platform::x11::test::haveDisplay() && painter.ok()) << "this test needs an X display";
  const std::string right = std::to_string(XInternAtom(painter.display(), "RIGHT", True));
  ASSERT_NE(right, "0");
  painter.fill(0, 0, 1920, 1200, red);
  painter.fill(1920, 0, 1920, 1080, grey);
  painter.warpPointer(10, 10);
  std::atomic<std::uint64_t> stillFrom{0};
  std::thread animate([&] {
    {
      Painter animator;
      const Window window = animator.fill(1920, 0, 1920, 1080, 0x000000);
      const auto until = std::chrono::steady_clock::now() + 2200ms;
      for (unsigned long step = 0; std::chrono::steady_clock::now() < until; ++step) {
        animator.recolour(window, (step * 0x050301) & 0xFFFFFF);
        std::this_thread::sleep_for(16ms);
      }
    }
    stillFrom = unixNanoseconds();
  });
  const ProcessResult run = runProcess(
      binaryPath("pelorin-encoder"),
      {.arguments = {"--display-id", right, "--width", "640", "--height", "360", "--duration", "4"},
       .setEnvironment = {{"PELORIN_VIDEO_ENCODER", "software"}},
       .timedInput = {{800ms, "KEYFRAME"}, {1200ms, "PAUSE"}, {2700ms, "RESUME"}, {3300ms, "KEYFRAME"}},
       .closeInputAt = 3500ms});
  animate.join();
  EXPECT_GE(run.elapsed, 3900ms);
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  const std::vector<DecodedRecord> records = expectDecodes(run);
  ASSERT_FALSE(records.empty());
  ASSERT_EQ(run.timedInputWrittenAt.size(), 4u);
  const std::uint64_t paused = run.timedInputWrittenAt[1], resumed = run.timedInputWrittenAt[2];
  std::size_t before = 0, during = 0, still = 0;
  for (const auto& r : records) {
    const std::uint64_t t = r.record.captureNanoseconds;
    before += t < paused;
    during += t > paused + 100'000'000 && t + 40'000'000 < resumed;
    still += t > stillFrom + 300'000'000;
  }
  EXPECT_GT(before, 5u);
  EXPECT_EQ(during, 0u) << "records kept coming while paused";
  EXPECT_LE(still, 6u) << "a still screen kept producing frames";
  for (std::size_t i : {0, 2, 3}) {
    const std::uint64_t requested = run.timedInputWrittenAt[i];
    // Less a frame of slack: a frame captured just before a request may be submitted just after it.
    const auto key = std::find_if(records.begin(), records.end(), [&](const DecodedRecord& r) {
      return r.record.keyFrame && r.record.captureNanoseconds > requested - 40'000'000;
    });
    ASSERT_NE(key, records.end()) << "no key frame after request " << i;
    EXPECT_LT(key->record.captureNanoseconds, requested + 200'000'000) << "the key frame came late, request " << i;
  }
  ASSERT_TRUE(records.back().picture);
  const auto& last = *records.back().picture;
  EXPECT_EQ(std::pair(last.width, last.height), std::pair(640, 360));
  for (auto [x, y] : {std::pair{320, 180}, {4, 4}, {636, 356}}) expectColour(last, x, y, grey, "the still monitor");

  std::vector<std::string> events;
  for (const auto& line : splitLines(run.err)) {
    if (line.starts_with("capture_frame_info ")) continue;
    events.push_back(line.starts_with("capture_window ") ? line : line.substr(0, line.find(' ')));
    if (line.starts_with("capture_clock_anchor ")) events.back() += " " + keyValues(line).at("phase");
    if (line.starts_with("capture_start ")) {
      EXPECT_EQ(line, "capture_start capture=x11 width=640 height=360 fps=30 abs_capture_time_source=capture "
                      "queue_capacity=3");
    }
  }
  EXPECT_EQ(events, (std::vector<std::string>{"capture_encoder", "capture_clock_anchor start", "capture_start",
                                              "capture_window paused=true", "capture_window paused=false",
                                              "capture_clock_anchor end", "native_encoder_summary"}))
      << run.err;
}

// A window found by a marker in its title shows its client area exactly, under decorations whose
// bottom differs from their sides (openbox: 1, 1, 20, 5), also after a CROP line. Its top rows are
// green: a crop placed too low loses them and shows the frame's bottom edge.
TEST(WindowCapture, ByTitleMarkerShowsTheClientAreaWithoutDecorations) {
  Painter painter;
  ASSERT_TRUE(platform::x11::test::haveDisplay() && painter.ok()) << "this test needs an X display";
  const Window window = painter.create({.width = 400, .height = 300, .rgb = 0x2040d0, .title = "tab [marker]"});
  XSetWindowAttributes green{.background_pixel = 0x20c040};
  XMapWindow(painter.display(), XCreateWindow(painter.display(), window, 0, 0, 400, 4, 0, CopyFromParent, InputOutput,
                                              CopyFromParent, CWBackPixel, &green));
  painter.warpPointer(3800, 1190);
  const ProcessResult run = runProcess(
      binaryPath("pelorin-encoder"),
      {.arguments = {"--source", "window", "--window-title", "[marker]", "--content-width", "400", "--content-height",
                     "300", "--width", "400", "--height", "300", "--duration", "2"},
       .setEnvironment = {{"PELORIN_VIDEO_ENCODER", "software"}},
       .timedInput = {{1000ms, "CROP 400 300"}}});
  const std::vector<DecodedRecord> records = expectDecodes(run);
  ASSERT_TRUE(run.exitStatus == 0 && !records.empty() && records.front().picture && records.back().picture) << run.err;
  for (const auto* picture : {&*records.front().picture, &*records.back().picture}) {
    for (auto [y, rgb] : {std::pair{1, 0x20c040ul}, {150, 0x2040d0ul}, {298, 0x2040d0ul}}) {
      expectColour(*picture, 200, y, rgb, "the client area");
    }
  }
}

}  // namespace
}  // namespace pelorin::test
