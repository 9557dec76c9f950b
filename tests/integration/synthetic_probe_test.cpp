// The encoder's synthetic run, end to end through pelorin-probe.
#include <gtest/gtest.h>

#include <csignal>
#include <cmath>
#include <functional>
#include <set>

#include "support/key_values.h"
#include "support/process.h"

namespace pelorin::test {
namespace {

ProcessResult runSynthetic(std::vector<std::string> extra, std::map<std::string, std::string> env = {
                                                                {"PELORIN_VIDEO_ENCODER", "software"}}) {
  ProcessOptions options;
  options.arguments = {"--source", "synthetic", "--width", "640", "--height", "360", "--fps", "30", "--duration", "2"};
  options.arguments.insert(options.arguments.end(), extra.begin(), extra.end());
  options.setEnvironment = std::move(env);
  return runProcess(binaryPath("pelorin-encoder"), options);
}

ProcessResult probe(const std::string& stream, std::vector<std::string> arguments = {}) {
  ProcessOptions options;
  options.arguments = std::move(arguments);
  options.input = stream;
  return runProcess(binaryPath("pelorin-probe"), options);
}

TEST(SyntheticThroughProbe, TwoSecondsGiveSixtyDecodableFramesOfTheLumaCycle) {
  const ProcessResult run = runSynthetic({});
  ASSERT_EQ(run.exitStatus, 0) << run.err;

  const ProcessResult inspected = probe(run.out, {"--frames"});
  ASSERT_EQ(inspected.exitStatus, 0) << inspected.err;
  const auto lines = splitLines(inspected.out);
  ASSERT_EQ(lines.size(), 61u);
  const auto summary = keyValues(lines.back());
  EXPECT_EQ(summary.at("records"), "60");
  EXPECT_EQ(summary.at("decoded_frames"), "60");
  EXPECT_EQ(summary.at("decode_errors"), "0");
  EXPECT_EQ(summary.at("bytes"), std::to_string(run.out.size()));
  // One key frame at least every 30 frames.
  EXPECT_GE(std::stoi(summary.at("key_frames")), 2);
  EXPECT_NEAR(std::stod(summary.at("capture_fps")), 30.0, 1.5);  // frames about 33 ms apart
  // Pacing is on absolute deadlines: a late frame does not push the later ones back.
  EXPECT_LT(std::stod(summary.at("max_gap_ms")), 150.0);

  EXPECT_EQ(keyValues(lines[0]).at("key"), "1");
  const int cycle[] = {48, 72, 96, 120, 144, 168};
  for (int i = 0; i < 60; ++i) {
    const auto frame = keyValues(lines[static_cast<std::size_t>(i)]);
    ASSERT_NE(frame.at("mean_luma"), "none") << lines[static_cast<std::size_t>(i)];
    EXPECT_NEAR(std::stod(frame.at("mean_luma")), cycle[i % 6], 3.0) << lines[static_cast<std::size_t>(i)];
    if (i > 0) {
      const double gap = (std::stod(frame.at("capture_ns")) -
                          std::stod(keyValues(lines[static_cast<std::size_t>(i - 1)]).at("capture_ns"))) / 1e6;
      EXPECT_GT(gap, 0.0) << "frame " << i;
    }
  }
}

TEST(SyntheticThroughProbe, StandardErrorLinesComeInOrder) {
  const ProcessResult run = runSynthetic({"--profile", "high"});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  const auto lines = splitLines(run.err);
  ASSERT_EQ(lines.size(), 3u) << run.err;
  EXPECT_EQ(lines[0],
            "capture_encoder encoder=x264 hardware=false software_fallback=false profile=high b_frames=false "
            "encoder_queue_capacity=6");
  EXPECT_EQ(lines[1],
            "capture_start capture=synthetic width=640 height=360 fps=30 abs_capture_time_source=capture "
            "queue_capacity=3");
  EXPECT_TRUE(lines[2].starts_with("native_encoder_summary encoded_frames=60 capture_queue_capacity=3 "))
      << lines[2];
  EXPECT_NE(lines[2].find(" encoder_drops=0 capture_drops=0 queue_policy=drop_newest"), std::string::npos);
}

TEST(SyntheticThroughProbe, WithoutHardwareAndWithoutOptInNothingIsWritten) {
  for (const std::map<std::string, std::string>& env :
       {std::map<std::string, std::string>{}, {{"PELORIN_VIDEO_ENCODER", "hardware"}},
        {{"PELORIN_VIDEO_ENCODER", "vaapi"}, {"PELORIN_VAAPI_DEVICE", "/nonexistent/renderD128"}}}) {
    ProcessOptions options;
    options.arguments = {"--source", "synthetic", "--duration", "1"};
    options.setEnvironment = env;
    if (env.empty()) options.unsetEnvironment = {"PELORIN_VIDEO_ENCODER"};
    const ProcessResult run = runProcess(binaryPath("pelorin-encoder"), options);
    if (run.exitStatus == 0) GTEST_SKIP() << "this machine has a hardware encoder";
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.out, "");
    const auto lines = splitLines(run.err);
    ASSERT_EQ(lines.size(), 1u) << run.err;
    // Hosts match the start; the rest says why (no render node, no CUDA driver...).
    EXPECT_TRUE(lines[0].starts_with("native_encoder_error reason=hardware_encoder_unavailable:_")) << lines[0];
    EXPECT_GT(lines[0].size(), std::string("native_encoder_error reason=hardware_encoder_unavailable:_").size() + 10);
  }
}

TEST(SyntheticThroughProbe, AReaderThatGoesAwayEndsTheRunWithOneErrorLine) {
  ProcessOptions options;
  options.arguments = {"--source", "synthetic", "--width", "320", "--height", "180", "--duration", "30"};
  options.setEnvironment = {{"PELORIN_VIDEO_ENCODER", "software"}};
  options.closeOutputAfter = 100;
  options.timeout = std::chrono::milliseconds(10000);
  const ProcessResult run = runProcess(binaryPath("pelorin-encoder"), options);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.exitStatus, 1);
  const auto lines = splitLines(run.err);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "native_encoder_error reason=frame_stream_write_failed:_Broken_pipe");
}

// What the host hands over or does to the process, and how the run must end.
TEST(SyntheticThroughProbe, EveryWayAHostCanStopOrStarveTheRunEndsItCleanly) {
  struct Case {
    std::string what;
    std::function<void(ProcessOptions&)> host;
    int status;
    std::string lastLine;  // its start
    bool wholeStream;      // the records written are whole and decode
  };
  const std::vector<Case> cases = {
      {"SIGTERM", [](ProcessOptions& o) { o.signalAt = {std::chrono::milliseconds(800), SIGTERM}; }, 0,
       "native_encoder_summary ", true},
      {"SIGINT", [](ProcessOptions& o) { o.signalAt = {std::chrono::milliseconds(800), SIGINT}; }, 0,
       "native_encoder_summary ", true},
      {"non-blocking output", [](ProcessOptions& o) { o.nonBlockingOutput = true; }, 0, "native_encoder_summary ",
       true},
      {"closed standard error", [](ProcessOptions& o) { o.closedDescriptors = {2}; }, 0, "", true},
      {"closed standard input", [](ProcessOptions& o) { o.closedDescriptors = {0}; }, 0, "native_encoder_summary ",
       true},
      {"closed standard output", [](ProcessOptions& o) { o.closedDescriptors = {1}; }, 1,
       "native_encoder_error reason=standard_output_is_closed", false},
      {"a reader that hangs", [](ProcessOptions& o) { o.stopReadingOutputAfter = 0; }, 1,
       "native_encoder_error reason=the_capture_did_not_end_in_time", false},
  };
  for (const Case& c : cases) {
    ProcessOptions options;
    options.arguments = {"--source", "synthetic", "--width", "1920", "--height", "1080", "--fps", "240"};
    options.arguments.insert(options.arguments.end(), {"--duration", c.what.starts_with("SIG") ? "30" : "2"});
    options.setEnvironment = {{"PELORIN_VIDEO_ENCODER", "software"}};
    options.timeout = std::chrono::milliseconds(20000);
    c.host(options);
    const ProcessResult run = runProcess(binaryPath("pelorin-encoder"), options);
    EXPECT_FALSE(run.timedOut) << c.what;
    EXPECT_LT(run.elapsed, std::chrono::milliseconds(4500)) << c.what;  // never past the duration by 2 s
    EXPECT_EQ(run.exitStatus, c.status) << c.what << "\n" << run.err;
    const auto lines = splitLines(run.err);
    if (!c.lastLine.empty()) {
      ASSERT_FALSE(lines.empty()) << c.what;
      EXPECT_TRUE(lines.back().starts_with(c.lastLine)) << c.what << ": " << lines.back();
    }
    if (c.status == 1) EXPECT_FALSE(lines.front().starts_with("native_encoder_summary")) << c.what;
    if (c.wholeStream) {
      const ProcessResult inspected = probe(run.out);
      EXPECT_EQ(inspected.exitStatus, 0) << c.what << ": " << inspected.err;
    }
  }
}

TEST(Probe, ReportsTheOffsetOfTheFirstBadRecordAndFails) {
  const ProcessResult run = runSynthetic({"--duration", "1"});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  std::string damaged = run.out;
  const std::size_t second = damaged.find("PLNH2641", 1);
  ASSERT_NE(second, std::string::npos);
  damaged[second] = 'X';
  const ProcessResult inspected = probe(damaged);
  EXPECT_EQ(inspected.exitStatus, 1);
  EXPECT_EQ(inspected.out, "");
  EXPECT_EQ(inspected.err, "pelorin-probe: invalid record at offset " + std::to_string(second) + ": bad magic\n");
}

TEST(Probe, WritesThePlainH264Stream) {
  const ProcessResult run = runSynthetic({"--duration", "1"});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  const std::string path = ::testing::TempDir() + "/pelorin-probe-annexb.h264";
  const ProcessResult inspected = probe(run.out, {"--annexb", path});
  ASSERT_EQ(inspected.exitStatus, 0) << inspected.err;
  // Decoding the plain stream again gives the same frames.
  ProcessOptions ffprobe;
  ffprobe.arguments = {"-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                       "stream=nb_read_frames,width,height", "-of", "default=noprint_wrappers=1", path};
  const ProcessResult counted = runProcess("/usr/bin/ffprobe", ffprobe);
  ASSERT_EQ(counted.exitStatus, 0) << counted.err;
  EXPECT_NE(counted.out.find("width=640"), std::string::npos);
  EXPECT_NE(counted.out.find("height=360"), std::string::npos);
  EXPECT_NE(counted.out.find("nb_read_frames=30"), std::string::npos) << counted.out;
}

}  // namespace
}  // namespace pelorin::test
