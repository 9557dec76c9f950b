// The encoder's synthetic run, end to end through pelorin-probe.
#include <gtest/gtest.h>

#include <csignal>
#include <functional>

#include "support/process.h"

namespace pelorin::test {
namespace {

const std::map<std::string, std::string> software = {{"PELORIN_VIDEO_ENCODER", "software"}};

ProcessResult probe(const std::string& stream, std::vector<std::string> arguments = {}) {
  return runProcess(binaryPath("pelorin-probe"), {.arguments = std::move(arguments), .input = stream});
}

TEST(SyntheticThroughProbe, TwoSecondsGiveSixtyFramesOfTheLumaCycleInOrderedLinesAndAPlainStream) {
  const ProcessResult run = runProcess(
      binaryPath("pelorin-encoder"),
      {.arguments = {"--source", "synthetic", "--width", "640", "--height", "360", "--fps", "30", "--duration", "2",
                     "--profile", "high"},
       .setEnvironment = software});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  const auto errLines = splitLines(run.err);
  ASSERT_EQ(errLines.size(), 3u) << run.err;
  EXPECT_EQ(errLines[0],
            "capture_encoder encoder=x264 hardware=false software_fallback=false profile=high b_frames=false "
            "encoder_queue_capacity=6");
  EXPECT_EQ(errLines[1],
            "capture_start capture=synthetic width=640 height=360 fps=30 abs_capture_time_source=capture "
            "queue_capacity=3");
  EXPECT_TRUE(errLines[2].starts_with("native_encoder_summary encoded_frames=60 capture_queue_capacity=3 "))
      << errLines[2];
  EXPECT_NE(errLines[2].find(" encoder_drops=0 capture_drops=0 queue_policy=drop_newest"), std::string::npos);

  const std::string annexB = ::testing::TempDir() + "/pelorin-probe-annexb.h264";
  const ProcessResult inspected = probe(run.out, {"--frames", "--annexb", annexB});
  ASSERT_EQ(inspected.exitStatus, 0) << inspected.err;
  const auto lines = splitLines(inspected.out);
  ASSERT_EQ(lines.size(), 61u);
  const auto summary = keyValues(lines.back());
  EXPECT_EQ(summary.at("records"), "60");
  EXPECT_EQ(summary.at("decoded_frames"), "60");
  EXPECT_EQ(summary.at("decode_errors"), "0");
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
    if (i > 0) {
      EXPECT_GT(std::stoll(frame.at("capture_ns")), std::stoll(keyValues(lines[i - 1]).at("capture_ns")));
    }
  }

  // The plain H.264 stream decodes again to the same frames.
  const ProcessResult counted = runProcess(
      "/usr/bin/ffprobe", {.arguments = {"-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                                         "stream=nb_read_frames,width,height", "-of", "default=noprint_wrappers=1",
                                         annexB}});
  ASSERT_EQ(counted.exitStatus, 0) << counted.err;
  EXPECT_EQ(counted.out, "width=640\nheight=360\nnb_read_frames=60\n");

  // A damaged record: the probe names its offset and fails.
  std::string damaged = run.out;
  const std::size_t second = damaged.find("PLNH2641", 1);
  ASSERT_NE(second, std::string::npos);
  damaged[second] = 'X';
  const ProcessResult refused = probe(damaged);
  EXPECT_EQ(refused.exitStatus, 1);
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(refused.err, "pelorin-probe: invalid record at offset " + std::to_string(second) + ": bad magic\n");
}

// What the host hands over or does to the process, and how the run must end.
TEST(SyntheticThroughProbe, EveryWayAHostCanStopOrStarveTheRunEndsItCleanly) {
  using std::chrono::milliseconds;
  struct Case {
    std::string what;
    std::function<void(ProcessOptions&)> host;
    int status;
    std::string lastLine;  // its start
    bool wholeStream;      // the records written are whole and decode
    const char* duration = "2";
  };
  const std::vector<Case> cases = {
      {"SIGTERM", [](ProcessOptions& o) { o.signalAt = {milliseconds(800), SIGTERM}; }, 0, "native_encoder_summary ",
       true, "30"},
      {"SIGINT", [](ProcessOptions& o) { o.signalAt = {milliseconds(800), SIGINT}; }, 0, "native_encoder_summary ",
       true, "30"},
      {"non-blocking output", [](ProcessOptions& o) { o.nonBlockingOutput = true; }, 0, "native_encoder_summary ",
       true},
      {"closed standard error", [](ProcessOptions& o) { o.closedDescriptors = {2}; }, 0, "", true},
      {"closed standard input", [](ProcessOptions& o) { o.closedDescriptors = {0}; }, 0, "native_encoder_summary ",
       true},
      {"closed standard output", [](ProcessOptions& o) { o.closedDescriptors = {1}; }, 1,
       "native_encoder_error reason=standard_output_is_closed", false},
      {"a reader that goes away", [](ProcessOptions& o) { o.closeOutputAfter = 100; }, 1,
       "native_encoder_error reason=frame_stream_write_failed:_Broken_pipe", false, "30"},
      {"a reader that hangs", [](ProcessOptions& o) { o.stopReadingOutputAfter = 0; }, 1,
       "native_encoder_error reason=the_capture_did_not_end_in_time", false},
  };
  for (const Case& c : cases) {
    ProcessOptions options{.arguments = {"--source", "synthetic", "--width", "1920", "--height", "1080", "--fps",
                                         "240", "--duration", c.duration},
                           .setEnvironment = software,
                           .timeout = milliseconds(20000)};
    c.host(options);
    const ProcessResult run = runProcess(binaryPath("pelorin-encoder"), options);
    EXPECT_LT(run.elapsed, milliseconds(4500)) << c.what;  // never past the duration by 2 s
    EXPECT_EQ(run.exitStatus, c.status) << c.what << "\n" << run.err;
    const auto lines = splitLines(run.err);
    if (!c.lastLine.empty()) {
      ASSERT_FALSE(lines.empty()) << c.what;
      EXPECT_TRUE(lines.back().starts_with(c.lastLine)) << c.what << ": " << lines.back();
    }
    if (c.status == 1) {
      EXPECT_EQ(run.err.find("native_encoder_summary"), std::string::npos) << c.what;
    }
    if (c.wholeStream) {
      EXPECT_EQ(probe(run.out).exitStatus, 0) << c.what;
    }
  }
}

}  // namespace
}  // namespace pelorin::test
