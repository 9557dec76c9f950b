// Runs the built pelorin-encoder and checks its standard streams and exit status.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "support/process.h"

namespace pelorin::test {
namespace {

std::string encoder() { return binaryPath("pelorin-encoder"); }

std::string absoluteEncoderPath() {
  return std::filesystem::absolute(encoder()).lexically_normal().string();
}

ProcessResult runEncoder(std::vector<std::string> arguments, bool withDisplay = true) {
  ProcessOptions options;
  options.arguments = std::move(arguments);
  if (!withDisplay) options.unsetEnvironment = {"DISPLAY", "WAYLAND_DISPLAY"};
  return runProcess(encoder(), options);
}

class WithDisplay : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "these tests need an X display (scripts/test starts one)";
  }
};

TEST_F(WithDisplay, PreflightAndRequestReportAllowedOnStandardOutput) {
  const ProcessResult preflight = runEncoder({"--preflight"});
  EXPECT_EQ(preflight.exitStatus, 0);
  EXPECT_EQ(preflight.out, "screen_capture_preflight allowed=true executable=" + absoluteEncoderPath() + "\n");
  EXPECT_EQ(preflight.err, "");

  const ProcessResult request = runEncoder({"--request-permission"});
  EXPECT_EQ(request.exitStatus, 0);
  EXPECT_EQ(request.out, "screen_capture_request allowed=true executable=" + absoluteEncoderPath() + "\n");
  EXPECT_EQ(request.err, "");
}

TEST(Permission, WithoutADisplayIsNotAllowedButStillSucceeds) {
  for (const char* mode : {"--preflight", "--request-permission"}) {
    const ProcessResult r = runEncoder({mode}, false);
    EXPECT_EQ(r.exitStatus, 0) << mode;
    EXPECT_NE(r.out.find(" allowed=false executable=/"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.back(), '\n');
    EXPECT_EQ(r.err, "");
  }
}

TEST(Permission, UnreachableDisplayIsNotAllowed) {
  ProcessOptions options;
  options.arguments = {"--preflight"};
  options.setEnvironment = {{"DISPLAY", ":987"}};
  const ProcessResult r = runProcess(encoder(), options);
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_NE(r.out.find("screen_capture_preflight allowed=false "), std::string::npos) << r.out;
}

TEST(Permission, ProgramPathIsAbsoluteAndStandardized) {
  const std::filesystem::path bin = std::filesystem::absolute(encoder()).lexically_normal();
  ProcessOptions options;
  options.arguments = {"--preflight"};
  // Start it through a path with "." and ".." in it.
  const std::string roundabout = (bin.parent_path() / "." / ".." / bin.parent_path().filename() /
                                  bin.filename()).string();
  const ProcessResult r = runProcess(roundabout, options);
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_NE(r.out.find(" executable=" + bin.string() + "\n"), std::string::npos) << r.out;
}

TEST(ParseFailures, WriteOneErrorLineAndNothingOnStandardOutput) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--width"}, "--width_requires_a_value"},
      {{"--preflight", "x"}, "unknown_argument_--preflight"},
      {{"--list-sources", "--width"}, "unknown_argument_--list-sources"},
      {{"--help", "me"}, "unknown_argument_--help"},
      {{"--display-id", "abc"}, "invalid_--display-id_abc"},
      {{"--portion", "1,2 ,4,4"}, "invalid_--portion_1_2__4_4"},
      {{"--source", "synthetic", "--width", "2147483648"}, "invalid_arguments"},
      {{"--profile", "High"}, "invalid_arguments"},
  };
  for (const auto& [words, reason] : cases) {
    const ProcessResult r = runEncoder(words);
    EXPECT_EQ(r.exitStatus, 1) << reason;
    EXPECT_EQ(r.out, "") << reason;
    EXPECT_EQ(r.err, "native_encoder_error reason=" + reason + "\n");
  }
}

TEST(Help, PrintsUsageOnStandardOutput) {
  const ProcessResult r = runEncoder({"--help"});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out.rfind("Usage: pelorin-encoder", 0), 0u);
  EXPECT_NE(r.out.find("PELORIN_VIDEO_ENCODER"), std::string::npos);
  EXPECT_EQ(r.err, "");
}

}  // namespace
}  // namespace pelorin::test
