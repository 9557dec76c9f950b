// The encoder's synthetic run, end to end through pelorin-probe.
#include <gtest/gtest.h>

#include <csignal>

#include "support/process.h"

namespace pelorin::test {
namespace {

const std::map<std::string, std::string> software = {{"PELORIN_VIDEO_ENCODER", "software"}};

ProcessResult probe(const std::string& stream) {
  return runProcess(binaryPath("pelorin-probe"), {.arguments = {"--frames"}, .input = stream});
}

TEST(SyntheticThroughProbe, TwoSecondsGiveSixtyFramesOfTheLumaCycleInOrderedLines) {
  const ProcessResult run = runProcess(
      binaryPath("pelorin-encoder"),
      {.arguments = {"--source", "synthetic", "--width", "640", "--height", "360", "--fps", "30", "--duration", "2",
                     "--profile", "high"},
       .setEnvironment = software});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  const auto errLines = splitLines(run.err);
  ASSERT_EQ(errLines.size(), 3u) << run.err;
  EXPECT_EQ(std::vector(errLines.begin(), errLines.begin() + 2),
            (std::vector<std::string>{"capture_encoder encoder=x264 hardware=false software_fallback=false "
                                      "profile=high b_frames=false encoder_queue_capacity=6",
                                      "capture_start capture=synthetic width=640 height=360 fps=30 "
                                      "abs_capture_time_source=capture queue_capacity=3"}));
  EXPECT_TRUE(errLines[2].starts_with("native_encoder_summary encoded_frames=60 capture_queue_capacity=3 ") &&
              errLines[2].ends_with(" encoder_drops=0 capture_drops=0 queue_policy=drop_newest"))
      << errLines[2];

  const ProcessResult inspected = probe(run.out);
  ASSERT_EQ(inspected.exitStatus, 0) << inspected.err;
  const auto lines = splitLines(inspected.out);
  ASSERT_EQ(lines.size(), 61u);
  const auto summary = keyValues(lines.back());
  EXPECT_EQ(std::tuple(summary.at("records"), summary.at("decoded_frames"), summary.at("decode_errors")),
            std::tuple("60", "60", "0"));
  EXPECT_EQ(summary.at("bytes"), std::to_string(run.out.size()));
  EXPECT_GE(std::stoi(summary.at("key_frames")), 2);  // one at least every 30 frames
  EXPECT_NEAR(std::stod(summary.at("capture_fps")), 30.0, 1.5);
  // Pacing is on absolute deadlines: a late frame does not push the later ones back.
  EXPECT_LT(std::stod(summary.at("max_gap_ms")), 150.0);
  EXPECT_EQ(keyValues(lines[0]).at("key"), "1");
  const int cycle[] = {48, 72, 96, 120, 144, 168};
  for (std::size_t i = 0; i < 60; ++i) {
    const auto frame = keyValues(lines[i]);
    ASSERT_NE(frame.at("mean_luma"), "none") << lines[i];
    EXPECT_NEAR(std::stod(frame.at("mean_luma")), cycle[i % 6], 3.0) << lines[i];
    if (i > 0) EXPECT_GT(std::stoll(frame.at("capture_ns")), std::stoll(keyValues(lines[i - 1]).at("capture_ns")));
  }
}

// What the host hands over or does to the process, and how the run must end: with status 0, a
// summary and whole records, or with status 1, no summary and the error last.
TEST(SyntheticThroughProbe, EveryWayAHostCanStopOrStarveTheRunEndsItCleanly) {
  using namespace std::chrono_literals;
  const struct {
    std::string what;
    ProcessOptions host;
    std::string reason;  // none: the run succeeds
    const char* duration = "2";
  } cases[] = {
      {"SIGTERM", {.signalAt = {{800ms, SIGTERM}}}, "", "30"},
      {"SIGINT", {.signalAt = {{800ms, SIGINT}}}, "", "30"},
      {"non-blocking output", {.nonBlockingOutput = true}},
      {"closed standard error", {.closedDescriptors = {2}}},
      {"closed standard input", {.closedDescriptors = {0}}},
      {"closed standard output", {.closedDescriptors = {1}}, "standard_output_is_closed"},
      {"a reader that goes away", {.closeOutputAfter = 100}, "frame_stream_write_failed:_Broken_pipe", "30"},
      {"a reader that hangs", {.stopReadingOutputAfter = 0}, "the_capture_did_not_end_in_time"},
  };
  for (const auto& c : cases) {
    ProcessOptions options = c.host;
    options.arguments = {"--source", "synthetic", "--width", "1920", "--height", "1080", "--fps", "240",
                         "--duration", c.duration};
    options.setEnvironment = software;
    options.timeout = 20s;
    const ProcessResult run = runProcess(binaryPath("pelorin-encoder"), options);
    EXPECT_LT(run.elapsed, 4500ms) << c.what;  // never past the duration by 2 s
    EXPECT_EQ(run.exitStatus, c.reason.empty() ? 0 : 1) << c.what << "\n" << run.err;
    const auto lines = splitLines(run.err);
    if (options.closedDescriptors != std::vector{2}) {
      ASSERT_FALSE(lines.empty()) << c.what;
      const std::string last = c.reason.empty() ? "native_encoder_summary " : "native_encoder_error reason=" + c.reason;
      EXPECT_TRUE(lines.back().starts_with(last)) << c.what << ": " << lines.back();
    }
    if (c.reason.empty()) {
      EXPECT_EQ(probe(run.out).exitStatus, 0) << c.what;
    } else {
      EXPECT_EQ(run.err.find("native_encoder_summary"), std::string::npos) << c.what;
    }
  }
}

}  // namespace
}  // namespace pelorin::test
