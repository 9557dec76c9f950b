#include "encoder/arguments.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "base/decimal.h"

namespace pelorin::encoder {
namespace {

using Words = std::vector<std::string>;

// The failure message of the words, or "<accepted>".
std::string outcome(const Words& words) {
  const Result<Arguments> r = parseArguments(words);
  if (r) return "<accepted>";
  EXPECT_TRUE(r.error().domain == "Arguments" && r.error().code == -1);
  return r.error().message;
}

Arguments parsed(const Words& words) {
  Result<Arguments> r = parseArguments(words);
  EXPECT_TRUE(r.ok()) << (r ? "" : r.error().message);
  return r ? *r : Arguments{};
}

TEST(ParseArguments, EachOptionSetsItsFieldWhateverItsValueLooksLike) {
  const Arguments a = parsed({"--source", "synthetic", "--width", "640", "--height", "360", "--fps", "60", "--bitrate",
                              "123", "--profile", "high", "--duration", "5", "--display-id", "4294967295"});
  const media::StreamSettings& s = a.run.stream;
  EXPECT_EQ(std::tie(a.source, s.width, s.height, s.frameRate, s.bitrate, s.profile, a.run.durationSeconds, a.run.displayID),
            std::make_tuple(Source::synthetic, 640, 360, platform::FrameRate{60, 1}, 123, media::Profile::high, 5, 4294967295u));
  EXPECT_EQ(parsed({"--source", "portion", "--display-id", "7", "--portion", "10,20,640,360"}).run.portion,
            (Rect{10, 20, 640, 360}));
  EXPECT_EQ(parsed({"--source", "window", "--window-id", "+7"}).run.windowID, 7u);
  const capture::CaptureRequest t = parsed({"--source", "window", "--window-title", "--width", "--content-width", "4",
                                            "--content-height", "6"}).run;
  EXPECT_EQ(std::tie(t.windowTitle, t.contentWidth, t.contentHeight), std::make_tuple("--width", 4, 6));
  EXPECT_EQ(parsed({"--width", "100", "--width", "+640"}).run.stream.width, 640);  // the last one counts
  EXPECT_EQ(parsed({"--bitrate", "fast"}).run.stream.bitrate, 0);  // a non-integer becomes 0, never validated
  EXPECT_EQ(parsed({"--duration", "9223372036854775807"}).run.durationSeconds, INT64_MAX);  // 64-bit seconds
  const media::StreamSettings largest =
      parsed({"--width", "8192", "--height", "4320", "--fps", "240", "--bitrate", "-2147483648"}).run.stream;
  EXPECT_EQ(std::tie(largest.width, largest.height, largest.frameRate.num), std::make_tuple(8192, 4320, 240));
}

TEST(ParseArguments, FailuresStopAtTheFirstAndValidationRejectsInconsistentOrExcessiveValues) {
  const std::pair<Words, std::string> cases[] = {
      {{"--source", "screen", "--bogus"}, "--bogus requires a value"},
      {{"--bogus", "1"}, "unknown argument --bogus"},
      {{"--source", "nothing", "--bogus", "1"}, "unknown argument --bogus"},  // before validation
      {{"--display-id", "4294967296"}, "invalid --display-id 4294967296"},
      {{"--portion", "1,2,3"}, "invalid --portion 1,2,3"},
      {{"--source", "Screen"}, "invalid arguments"},
      {{"--width", "0"}, "invalid arguments"},
      {{"--fps", "0"}, "invalid arguments"},
      {{"--width", "8193"}, "invalid arguments"},
      {{"--width", "8192", "--height", "4322"}, "invalid arguments"},  // past 8192 x 4320 pixels
      {{"--width", "4320", "--height", "8192"}, "<accepted>"},
      {{"--fps", "241"}, "invalid arguments"},
      {{"--bitrate", "2147483648"}, "invalid arguments"},
      {{"--bitrate", "-2147483649"}, "invalid arguments"},
      {{"--profile", "main", "--bitrate", "-5"}, "<accepted>"},
      {{"--source", "window"}, "invalid arguments"},
      {{"--source", "window", "--window-id", "7"}, "<accepted>"},
      {{"--source", "window", "--window-id", "7", "--content-width", "10"}, "invalid arguments"},
      {{"--source", "window", "--window-title", "t"}, "invalid arguments"},
      {{"--source", "window", "--window-title", "", "--content-width", "2", "--content-height", "2"}, "<accepted>"},
      {{"--source", "window", "--window-title", "t", "--content-width", "1", "--content-height", "2"}, "invalid arguments"},
      // A title marker takes precedence over an identifier that could not be read.
      {{"--source", "window", "--window-title", "m", "--window-id", "zz", "--content-width", "8", "--content-height", "8"},
       "<accepted>"},
      {{"--source", "screen", "--window-title", "t", "--content-width", "2", "--content-height", "2"}, "invalid arguments"},
      {{"--source", "screen", "--portion", "0,0,2,2"}, "invalid arguments"},
      {{"--source", "portion", "--display-id", "1"}, "invalid arguments"},
      {{"--source", "portion", "--display-id", "1", "--portion", "0,0,1280,720"}, "<accepted>"},
  };
  for (const auto& [words, expected] : cases) EXPECT_EQ(outcome(words), expected) << ::testing::PrintToString(words);
}

TEST(Grammar, CompleteSignedDecimalsAndPortionsOfFourEvenSizedNonNegativeIntegers) {
  EXPECT_TRUE(parseInt64("-12") == -12 && parseInt64("007") == 7 && parseInt64("-9223372036854775808") == INT64_MIN);
  for (const char* bad : {"", "+", "-", " 1", "1 ", "1.0", "0x10", "1e3", "9223372036854775808",
                          "-9223372036854775809", "99999999999999999999999", "١٢"}) {
    EXPECT_FALSE(parseInt64(bad)) << bad;
  }
  EXPECT_TRUE(parseUInt32("4294967295") == 4294967295u && parseUInt32("+1") == 1u && parseUInt32("-0") == 0u);
  for (const char* bad : {"-1", "4294967296", "", "abc", "1 "}) EXPECT_FALSE(parseUInt32(bad)) << bad;
  // A portion: four integers, the sizes even.
  EXPECT_EQ(parsePortionArgument("0,0,1280,720"), (Rect{0, 0, 1280, 720}));
  EXPECT_EQ(parsePortionArgument("+4,06,2,2"), (Rect{4, 6, 2, 2}));
  for (const char* bad : {"0,0,1281,720", "0,0,1280,721", "0,0,0,720", "-2,0,640,360", "0,-2,640,360", "1,2,4,4,",
                          "1,,4,4", " 1,2,4,4", "", "1,2,4,4,6", "1.0,2,4,4", "0,0,9223372036854775808,2"}) {
    EXPECT_FALSE(parsePortionArgument(bad)) << bad;
  }
}

}  // namespace
}  // namespace pelorin::encoder
