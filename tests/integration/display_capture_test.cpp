// pelorin-encoder capturing the test display's monitors as a host runs it: its command line, its
// lines in order, the end of the run and control lines reaching the stream, checked by decoding
// what it writes.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/x11_test_helpers.h"
#include "support/decoded_stream.h"
#include "support/process.h"

namespace pelorin::test {
namespace {

using namespace std::chrono_literals;

constexpr unsigned long red = 0xC03020, grey = 0x808080;

// A still monitor gives its first picture and then a frame only when a line asks for one: the
// RESUME after a PAUSE and a KEYFRAME each bring a key frame. The end of the input does not end the
// run. (What a pause withholds is the screen output's, pinned by its own test.)
TEST(DisplayCapture, OnAStillScreenResumeAndKeyframeLinesEachBringAKeyFrameAndTheRunLastsItsDuration) {
  Painter painter;
  ASSERT_TRUE(haveDisplay() && painter.ok()) << "this test needs an X display";
  const std::string right = std::to_string(XInternAtom(painter.display(), "RIGHT", True));
  ASSERT_NE(right, "0");
  painter.fill(0, 0, 1920, 1200, red);
  painter.fill(1920, 0, 1920, 1080, grey);
  painter.warpPointer(10, 10);
  const ProcessResult run = runProcess(
      binaryPath("pelorin-encoder"),
      {.arguments = {"--display-id", right, "--width", "640", "--height", "360", "--duration", "4"},
       .setEnvironment = {{"PELORIN_VIDEO_ENCODER", "software"}},
       .timedInput = {{1200ms, "PAUSE"}, {2700ms, "RESUME"}, {3300ms, "KEYFRAME"}},
       .closeInputAt = 3500ms});
  EXPECT_GE(run.elapsed, 3900ms);  // its duration, though its input closed earlier
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  const std::vector<DecodedRecord> records = expectDecodes(run);
  ASSERT_FALSE(records.empty());
  ASSERT_EQ(run.timedInputWrittenAt.size(), 3u);
  EXPECT_LE(records.size(), 6u) << "a still screen kept producing frames";
  // Each before the next line (less a frame of slack: one captured just before a line may be
  // submitted after it).
  for (std::size_t i : {1, 2}) {
    const std::uint64_t from = run.timedInputWrittenAt[i] - 40'000'000;
    const std::uint64_t to = i == 1 ? run.timedInputWrittenAt[2] : UINT64_MAX;
    EXPECT_TRUE(std::ranges::any_of(records, [&](const DecodedRecord& r) {
      return r.record.keyFrame && r.record.captureNanoseconds > from && r.record.captureNanoseconds < to;
    })) << "no key frame after line " << i;
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
  ASSERT_TRUE(haveDisplay() && painter.ok()) << "this test needs an X display";
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
