// pelorin-encoder capturing one window of the test display (openbox manages it), checked by the
// lines it writes and by decoding its stream.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <thread>

#include "platform/x11_test_helpers.h"
#include "support/decoded_stream.h"
#include "support/key_values.h"
#include "support/process.h"
#include "support/x11_windows.h"

namespace pelorin::test {
namespace {

using namespace std::chrono_literals;
using platform::x11::test::Painter;

constexpr unsigned long red = 0xC03020, blue = 0x2040C0, green = 0x30A040;

std::uint64_t unixNow() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch()).count());
}

// Runs `steps` (each after its delay from the start) while the encoder captures.
ProcessResult captureWhile(std::vector<std::string> arguments, std::vector<std::pair<std::chrono::milliseconds,
                           std::function<void()>>> steps = {}, std::vector<TimedLine> control = {}) {
  ProcessOptions options;
  options.setEnvironment = {{"PELORIN_VIDEO_ENCODER", "software"}};
  options.arguments = std::move(arguments);
  options.keepInputOpen = true;
  options.timedInput = std::move(control);
  std::thread actions([steps = std::move(steps)] {
    const auto start = std::chrono::steady_clock::now();
    for (const auto& [at, step] : steps) {
      std::this_thread::sleep_until(start + at);
      step();
    }
  });
  ProcessResult result = runProcess(binaryPath("pelorin-encoder"), options);
  actions.join();
  return result;
}

void run(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

// The lines that start with `prefix`, in order.
std::vector<std::string> linesStarting(const std::string& text, const std::string& prefix) {
  std::vector<std::string> found;
  for (const std::string& line : splitLines(text)) {
    if (line.rfind(prefix, 0) == 0) found.push_back(line);
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

  DecodedStream decoded(const ProcessResult& run) {
    DecodedStream stream = decodeStream(run.out);
    EXPECT_FALSE(stream.fault) << *stream.fault;
    EXPECT_FALSE(stream.records.empty()) << run.err;
    return stream;
  }

  ManagedWindows windows;
  Painter painter;
};

TEST_F(WindowCapture, ACoveredWindowByIdentifierShowsItselfAndFollowsItsResize) {
  const Window window = windows.create({.width = 400, .height = 300, .rgb = red, .title = "covered"});
  ASSERT_TRUE(windows.waitManaged(window));
  // Over the window's middle: the capture must show the window's own pixels, not this.
  painter.fill(0, 0, 1920, 1200, blue);
  const FrameSize before = windows.frameSize(window);
  FrameSize after;
  const std::string id = std::to_string(window);
  const ProcessResult result = captureWhile(
      {"--source", "window", "--window-id", id, "--width", "640", "--height", "360", "--duration", "3"},
      {{1200ms, [&] {
          run("xdotool windowsize " + id + " 600 200");
          windows.waitUntil([&] { return windows.frameSize(window).width != before.width; });
          after = windows.frameSize(window);
        }}});
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  const std::vector<std::string> crops = linesStarting(result.err, "capture_window crop=");
  ASSERT_EQ(crops.size(), 2u) << result.err;
  EXPECT_EQ(crops[0], cropLine(before, false));
  EXPECT_EQ(crops[1], cropLine(after, false));
  EXPECT_TRUE(lineStarting(splitLines(result.err), "capture_start capture=x11_window width=640 height=360"))
      << result.err;
  ASSERT_TRUE(lineStarting(splitLines(result.err), "native_encoder_summary")) << result.err;

  const DecodedStream stream = decoded(result);
  ASSERT_TRUE(stream.records.front().picture && stream.records.back().picture);
  const auto& first = *stream.records.front().picture;
  EXPECT_EQ(first.width, 640);
  EXPECT_EQ(first.height, 360);
  expectColour(first, 320, 200, red, "the covered window's middle, first frame");
  // The wide window afterwards: letterboxed with bars above and below, still its own pixels.
  const auto& last = *stream.records.back().picture;
  expectColour(last, 320, 200, red, "the resized window's middle");
  expectColour(last, 320, 4, 0x000000, "the bar above the resized window");
  expectColour(last, 320, 355, 0x000000, "the bar below the resized window");
}

TEST_F(WindowCapture, FullScreenAndBackSwitchesModeCropAndBringsKeyFrames) {
  const Window window = windows.create({.width = 400, .height = 300, .rgb = green, .title = "fullscreen"});
  ASSERT_TRUE(windows.waitManaged(window));
  const FrameSize framed = windows.frameSize(window);
  const std::string id = std::to_string(window);
  std::uint64_t entered = 0, left = 0;
  const ProcessResult result = captureWhile(
      {"--source", "window", "--window-id", id, "--width", "640", "--height", "400", "--duration", "5"},
      {{1000ms, [&] {
          entered = unixNow();
          run("wmctrl -i -r " + id + " -b add,fullscreen");
        }},
       {3000ms, [&] {
          left = unixNow();
          run("wmctrl -i -r " + id + " -b remove,fullscreen");
        }}});
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  const std::vector<std::string> lines = linesStarting(result.err, "capture_window");
  // The window sits on the left monitor (1920 x 1200).
  const std::vector<std::string> expected = {
      cropLine(framed, false),
      "capture_window mode fullscreen=true held=true",
      cropLine({1920, 1200}, true),
      "capture_window mode fullscreen=false held=true",
  };
  ASSERT_GE(lines.size(), expected.size() + 1) << result.err;
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 4), expected) << result.err;
  // Leaving full screen, the window manager may pass through an intermediate geometry that a tick
  // crops to; the capture ends on the window's own frame.
  for (std::size_t i = 4; i < lines.size(); ++i) EXPECT_TRUE(lines[i].starts_with("capture_window crop=")) << lines[i];
  EXPECT_EQ(lines.back(), cropLine(framed, false)) << result.err;

  const DecodedStream stream = decoded(result);
  auto keyFrameAfter = [&](std::uint64_t since) -> const DecodedRecord* {
    for (const auto& r : stream.records) {
      if (r.record.keyFrame && r.record.captureNanoseconds > since) return &r;
    }
    return nullptr;
  };
  const DecodedRecord* full = keyFrameAfter(entered);
  ASSERT_NE(full, nullptr) << "no key frame after entering full screen";
  EXPECT_LT(full->record.captureNanoseconds, left);
  ASSERT_TRUE(full->picture);
  // 1920 x 1200 fills 640 x 400 exactly: the window's colour reaches the corners.
  for (auto [x, y] : {std::pair{320, 200}, {4, 4}, {636, 396}}) expectColour(*full->picture, x, y, green, "full screen");
  const DecodedRecord* back = keyFrameAfter(left);
  ASSERT_NE(back, nullptr) << "no key frame after leaving full screen";
  ASSERT_TRUE(back->picture);
  expectColour(*back->picture, 320, 220, green, "window again");
  expectColour(*back->picture, 4, 200, 0x000000, "bar beside the window again");
}

TEST_F(WindowCapture, AWindowFoundByALateMarkerFollowsTheHostsCrop) {
  const std::string marker = "pelorin-marker-" + std::to_string(::getpid());
  Window window = 0;
  FrameSize frame;
  const ProcessResult result = captureWhile(
      {"--source", "window", "--window-title", marker, "--content-width", "200", "--content-height", "100", "--width",
       "640", "--height", "320", "--duration", "4"},
      {{2000ms, [&] {
          window = windows.create({.width = 500, .height = 300, .rgb = blue, .title = "tab " + marker + " - browser"});
          frame = windows.frameSize(window);
        }}},
      {{3200ms, "CROP 400 200"}});
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  const std::vector<std::string> lines = linesStarting(result.err, "capture_window");
  const std::vector<std::string> expected = {
      "capture_window found=true title_match=marker",
      cropLine(frame, false, FrameSize{200, 100}),
      cropLine(frame, false, FrameSize{400, 200}),
  };
  EXPECT_EQ(lines, expected) << result.err;
  const DecodedStream stream = decoded(result);
  ASSERT_TRUE(stream.records.back().picture);
  // The content crop (bottom-aligned, centred) lies in the window's blue client area.
  for (auto [x, y] : {std::pair{320, 160}, {20, 20}, {620, 300}}) {
    expectColour(*stream.records.back().picture, x, y, blue, "cropped content");
  }
}

TEST_F(WindowCapture, ADestroyedWindowEndsTheRunWithinASecondAndAnUnknownOneAtOnce) {
  const Window window = windows.create({.width = 300, .height = 200, .rgb = red, .title = "doomed"});
  ASSERT_TRUE(windows.waitManaged(window));
  std::uint64_t destroyedAt = 0;
  const auto start = std::chrono::steady_clock::now();
  const ProcessResult result = captureWhile(
      {"--source", "window", "--window-id", std::to_string(window), "--width", "320", "--height", "240", "--duration",
       "10"},
      {{1000ms, [&] {
          destroyedAt = unixNow();
          windows.destroy(window);
        }}});
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(result.exitStatus, 1);
  const std::vector<std::string> lines = splitLines(result.err);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().rfind("native_encoder_error reason=window_capture_stopped_", 0), 0u) << result.err;
  EXPECT_FALSE(lineStarting(lines, "native_encoder_summary")) << result.err;
  EXPECT_LT(elapsed, 2500ms) << "the run did not end within a second of the window's end";
  const DecodedStream stream = decoded(result);
  EXPECT_LT(stream.records.back().record.captureNanoseconds, destroyedAt + 1'000'000'000);

  const ProcessResult unknown = captureWhile(
      {"--source", "window", "--window-id", "123456789", "--width", "320", "--height", "240", "--duration", "5"});
  EXPECT_EQ(unknown.exitStatus, 1);
  const std::vector<std::string> unknownLines = splitLines(unknown.err);
  ASSERT_FALSE(unknownLines.empty());
  EXPECT_EQ(unknownLines.back(), "native_encoder_error reason=window_not_found__id_");
  EXPECT_TRUE(unknown.out.empty());
}

}  // namespace
}  // namespace pelorin::test
