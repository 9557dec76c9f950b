// The built pelorin-encoder's standard streams and exit status: the modes that answer at once, runs
// that cannot start, and synthetic runs read back through pelorin-probe and ended as a host may.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

#include "support/process.h"

namespace pelorin::test {
namespace {

using namespace std::chrono_literals;
using Environment = std::map<std::string, std::string>;
using Names = std::vector<std::string>;

const Environment software = {{"PELORIN_VIDEO_ENCODER", "software"}};

ProcessResult runEncoder(const std::string& program, Names arguments, Environment set = {}, Names unset = {}) {
  return runProcess(program, {.arguments = std::move(arguments), .setEnvironment = std::move(set),
                              .unsetEnvironment = std::move(unset)});
}

TEST(EncoderCli, ModesThatAnswerAtOnceAndRunsThatCannotStart) {
  ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "this test needs an X display (scripts/test starts one)";
  const Names noDisplay = {"DISPLAY", "WAYLAND_DISPLAY"};
  const std::filesystem::path bin = std::filesystem::absolute(binaryPath("pelorin-encoder")).lexically_normal();
  // Started through a path with "." and ".." in it, each names the program by its standard path.
  const std::string roundabout =
      (bin.parent_path() / "." / ".." / bin.parent_path().filename() / bin.filename()).string();
  const struct {
    std::string mode;
    Environment set;
    Names unset;
    std::string out;
  } answers[] = {
      {"--preflight", {}, {}, "screen_capture_preflight allowed=true"},
      {"--request-permission", {}, {}, "screen_capture_request allowed=true"},
      {"--preflight", {}, noDisplay, "screen_capture_preflight allowed=false"},
      {"--preflight", {{"DISPLAY", ":987"}}, {}, "screen_capture_preflight allowed=false"},
      // A Wayland session goes through the portal, whatever DISPLAY says; here no portal answers.
      {"--preflight", {{"XDG_SESSION_TYPE", "wayland"}, {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"}}, {},
       "screen_capture_preflight allowed=false"},
      {"--request-permission", {{"PELORIN_CAPTURE", "portal"}, {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"}},
       {}, "screen_capture_request allowed=false"},
  };
  for (const auto& c : answers) {
    const ProcessResult r = runEncoder(roundabout, {c.mode}, c.set, c.unset);
    EXPECT_EQ(std::tuple(r.exitStatus, r.out, r.err), std::tuple(0, c.out + " executable=" + bin.string() + "\n", ""));
  }

  // Exit status 1, nothing on standard output and the error as the last line; a command line
  // refused before anything starts writes that line alone.
  const struct {
    Names words;
    std::string reason;
    bool alone = true;    // the error is the only line
    bool prefix = false;  // the reason starts with `reason`
    Environment set;
    Names unset;
  } refused[] = {
      {{"--width"}, "--width_requires_a_value"},
      {{"--source", "window", "--window-id", "123456789", "--duration", "5"}, "window_not_found__id_", false, false,
       software},
      {{"--source", "window", "--window-id", "5", "--duration", "1"},
       "window_capture_is_not_available_on_a_Wayland_session", false, true,
       {{"PELORIN_VIDEO_ENCODER", "software"}, {"PELORIN_CAPTURE", "portal"}}},
      // Without a hardware encoder and without choosing the software one; the rest says why.
      {{"--source", "synthetic", "--duration", "1"}, "hardware_encoder_unavailable:_", true, true, {},
       {"PELORIN_VIDEO_ENCODER"}},
  };
  for (const auto& c : refused) {
    const ProcessResult r = runEncoder(bin, c.words, c.set, c.unset);
    if (c.reason.starts_with("hardware") && r.exitStatus == 0) GTEST_SKIP() << "this machine has a hardware encoder";
    const std::string want = "native_encoder_error reason=" + c.reason;
    const auto lines = splitLines(r.err);
    EXPECT_TRUE(r.exitStatus == 1 && r.out.empty() && r.err.ends_with("\n") && (!c.alone || lines.size() == 1)) << r.err;
    ASSERT_FALSE(lines.empty()) << want;
    EXPECT_TRUE(c.prefix ? lines.back().starts_with(want) && lines.back().size() > want.size() + 5
                         : lines.back() == want)
        << lines.back();
  }
}

ProcessResult probe(const std::string& stream) {
  return runProcess(binaryPath("pelorin-probe"), {.arguments = {"--frames"}, .input = stream});
}

// Capture times are when frames were made: their rate is the asked one or lower, never higher.
TEST(SyntheticThroughProbe, TwoSecondsGiveSixtyFramesOfTheLumaCycleDecodedInOrder) {
  const ProcessResult run = runEncoder(binaryPath("pelorin-encoder"),
                                       {"--source", "synthetic", "--width", "640", "--height", "360", "--fps", "30",
                                        "--duration", "2", "--profile", "high"}, software);
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_TRUE(splitLines(run.err).back().starts_with("native_encoder_summary encoded_frames=60 ")) << run.err;
  const auto lines = splitLines(probe(run.out).out);
  ASSERT_EQ(lines.size(), 61u);
  const auto summary = keyValues(lines.back());
  EXPECT_EQ(std::tuple(summary.at("records"), summary.at("decoded_frames"), summary.at("decode_errors")),
            std::tuple("60", "60", "0"));
  EXPECT_LT(std::stod(summary.at("capture_fps")), 31.0);
  EXPECT_EQ(keyValues(lines[0]).at("key"), "1");
  for (std::size_t i = 0; i < 60; ++i) {
    EXPECT_NEAR(std::stod(keyValues(lines[i]).at("mean_luma")), 48 + 24 * (i % 6), 3.0) << lines[i];
  }
}

// What the host hands over or does to the process, and how the run must end: with status 0, a
// summary and whole records, or with status 1, no summary and the error last.
TEST(SyntheticThroughProbe, EveryWayAHostCanStopOrStarveTheRunEndsItCleanly) {
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
    options.timeout = 20s;  // a run that hangs is killed and fails on its status
    const ProcessResult run = runProcess(binaryPath("pelorin-encoder"), options);
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
