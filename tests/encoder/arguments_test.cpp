#include "encoder/arguments.h"

#include <gtest/gtest.h>

#include "base/decimal.h"

#include <string>
#include <vector>

namespace pelorin::encoder {
namespace {

using Words = std::vector<std::string>;

std::string failure(const Words& words) {
  const Result<Arguments> r = parseArguments(words);
  if (r) return "<accepted>";
  EXPECT_EQ(r.error().domain, "Arguments");
  EXPECT_EQ(r.error().code, -1);
  return r.error().message;
}

Arguments parsed(const Words& words) {
  Result<Arguments> r = parseArguments(words);
  EXPECT_TRUE(r.ok()) << (r ? "" : r.error().message);
  return r ? *r : Arguments{};
}

TEST(ParseArguments, NoWordsGiveEveryDefault) {
  const Arguments a = parsed({});
  EXPECT_EQ(a.source, "screen");
  EXPECT_EQ(a.width, 1920);
  EXPECT_EQ(a.height, 1080);
  EXPECT_EQ(a.fps, 30);
  EXPECT_EQ(a.bitrate, 8000000);
  EXPECT_EQ(a.profile, "baseline");
  EXPECT_EQ(a.duration, 60);
  EXPECT_FALSE(a.displayID);
  EXPECT_FALSE(a.portion);
  EXPECT_FALSE(a.windowTitle);
  EXPECT_FALSE(a.windowID);
  EXPECT_EQ(a.contentWidth, 0);
  EXPECT_EQ(a.contentHeight, 0);
}

TEST(ParseArguments, EachOptionSetsItsField) {
  const Arguments a = parsed({"--source", "synthetic", "--width", "640", "--height", "360", "--fps", "60",
                              "--bitrate", "123", "--profile", "high", "--duration", "5",
                              "--display-id", "4294967295"});
  EXPECT_EQ(a.source, "synthetic");
  EXPECT_EQ(a.width, 640);
  EXPECT_EQ(a.height, 360);
  EXPECT_EQ(a.fps, 60);
  EXPECT_EQ(a.bitrate, 123);
  EXPECT_EQ(a.profile, "high");
  EXPECT_EQ(a.duration, 5);
  EXPECT_EQ(a.displayID, 4294967295u);
  const Arguments p = parsed({"--source", "portion", "--display-id", "7", "--portion", "10,20,640,360"});
  EXPECT_EQ(p.portion, (Rect{10, 20, 640, 360}));
  const Arguments w = parsed({"--source", "window", "--window-id", "+7"});
  EXPECT_EQ(w.windowID, 7u);
  const Arguments t = parsed({"--source", "window", "--window-title", "", "--content-width", "2",
                              "--content-height", "2"});
  EXPECT_EQ(t.windowTitle, "");
}

TEST(ParseArguments, FailureMessagesAreExact) {
  EXPECT_EQ(failure({"--width"}), "--width requires a value");
  EXPECT_EQ(failure({"--source", "screen", "--bogus"}), "--bogus requires a value");
  EXPECT_EQ(failure({"--bogus", "1"}), "unknown argument --bogus");
  EXPECT_EQ(failure({"--Width", "1"}), "unknown argument --Width");
  EXPECT_EQ(failure({"--list-sources", "x"}), "unknown argument --list-sources");
  EXPECT_EQ(failure({"--preflight", "--width"}), "unknown argument --preflight");
  EXPECT_EQ(failure({"--display-id", "abc"}), "invalid --display-id abc");
  EXPECT_EQ(failure({"--display-id", "4294967296"}), "invalid --display-id 4294967296");
  EXPECT_EQ(failure({"--display-id", ""}), "invalid --display-id ");
  EXPECT_EQ(failure({"--portion", "1,2,3"}), "invalid --portion 1,2,3");
  EXPECT_EQ(failure({"--width", "abc"}), "invalid arguments");
  // Parsing stops at the first failure, before validation.
  EXPECT_EQ(failure({"--source", "nothing", "--bogus", "1"}), "unknown argument --bogus");
}

TEST(ParseArguments, ValuesAreTakenWhateverTheyLookLike) {
  EXPECT_EQ(parsed({"--source", "window", "--window-title", "--width", "--content-width", "4",
                    "--content-height", "4"})
                .windowTitle,
            "--width");
  EXPECT_EQ(parsed({"--width", "100", "--width", "+640"}).width, 640);
}

TEST(IntegerGrammar, AcceptsOnlyCompleteSignedDecimals) {
  EXPECT_EQ(parseInt64("0"), 0);
  EXPECT_EQ(parseInt64("+640"), 640);
  EXPECT_EQ(parseInt64("-12"), -12);
  EXPECT_EQ(parseInt64("007"), 7);
  EXPECT_EQ(parseInt64("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(parseInt64("-9223372036854775808"), INT64_MIN);
  for (const char* bad : {"", "+", "-", " 1", "1 ", "1.0", "0x10", "1e3", "9223372036854775808",
                          "-9223372036854775809", "99999999999999999999999", "١٢"}) {
    EXPECT_FALSE(parseInt64(bad)) << bad;
  }
  EXPECT_EQ(parseUInt32("4294967295"), 4294967295u);
  EXPECT_EQ(parseUInt32("+1"), 1u);
  EXPECT_EQ(parseUInt32("-0"), 0u);
  for (const char* bad : {"-1", "4294967296", "", "abc", "1 "}) EXPECT_FALSE(parseUInt32(bad)) << bad;
}

TEST(IntegerGrammar, NonIntegerValuesBecomeZero) {
  EXPECT_EQ(parsed({"--bitrate", "fast"}).bitrate, 0);  // the bit rate is not validated
  EXPECT_EQ(failure({"--fps", "thirty"}), "invalid arguments");
  EXPECT_EQ(failure({"--duration", ""}), "invalid arguments");
  EXPECT_EQ(parsed({"--source", "window", "--window-id", "7", "--content-width", "x"}).contentWidth, 0);
}

TEST(Validation, RejectsInconsistentCombinations) {
  const std::vector<Words> invalid = {
      {"--source", "Screen"},
      {"--source", ""},
      {"--profile", "High"},
      {"--width", "0"},
      {"--height", "-1"},
      {"--fps", "0"},
      {"--duration", "0"},
      {"--source", "window"},
      {"--source", "window", "--window-id", "abc"},
      {"--source", "window", "--window-id", "7", "--content-width", "10"},
      {"--source", "window", "--window-id", "7", "--content-height", "10"},
      {"--source", "window", "--window-title", "t"},
      {"--source", "window", "--window-title", "t", "--content-width", "1", "--content-height", "2"},
      {"--source", "window", "--window-title", "t", "--content-width", "2", "--content-height", "1"},
      {"--source", "screen", "--window-title", "t", "--content-width", "2", "--content-height", "2"},
      {"--source", "screen", "--window-id", "7"},
      {"--source", "screen", "--portion", "0,0,2,2"},
      {"--source", "portion", "--display-id", "1"},
      {"--source", "portion", "--portion", "0,0,1280,720"},
      {"--source", "portion", "--display-id", "1", "--portion", "0,0,2,2", "--window-title", "t",
       "--content-width", "2", "--content-height", "2"},
  };
  for (const Words& w : invalid) {
    std::string joined;
    for (const auto& s : w) joined += s + " ";
    EXPECT_EQ(failure(w), "invalid arguments") << joined;
  }
}

TEST(Validation, AcceptsEachSourceInItsOwnForm) {
  parsed({"--source", "synthetic", "--display-id", "3"});
  parsed({"--source", "window", "--window-id", "7"});
  parsed({"--source", "window", "--window-title", "marker", "--content-width", "2", "--content-height", "2"});
  // A title marker takes precedence over an identifier that could not be read.
  parsed({"--source", "window", "--window-title", "m", "--window-id", "zz", "--content-width", "8",
          "--content-height", "8"});
  parsed({"--source", "portion", "--display-id", "1", "--portion", "0,0,1280,720"});
  parsed({"--profile", "main", "--bitrate", "-5"});
}

TEST(Validation, RefusesValuesBeyondWhatTheEncoderCanTake) {
  for (const Words& w : std::vector<Words>{{"--width", "8193"},
                                           {"--height", "4294967297"},
                                           {"--width", "8192", "--height", "4322"},  // past 8192 x 4320 pixels
                                           {"--fps", "241"},
                                           {"--fps", "1000000001"},
                                           {"--bitrate", "2147483648"},
                                           {"--bitrate", "-2147483649"}}) {
    EXPECT_EQ(failure(w), "invalid arguments") << w[0] << " " << w[1];
  }
  const Arguments largest = parsed({"--width", "8192", "--height", "4320", "--fps", "240", "--bitrate", "-2147483648"});
  EXPECT_EQ(largest.width * largest.height, 8192 * 4320);
  EXPECT_EQ(parsed({"--width", "4320", "--height", "8192"}).height, 8192);
  // The duration stays a 64-bit count of seconds.
  EXPECT_EQ(parsed({"--duration", "9223372036854775807"}).duration, INT64_MAX);
}

TEST(PortionGrammar, ParsesFourEvenSizedNonNegativeIntegers) {
  EXPECT_EQ(parsePortionArgument("0,0,1280,720"), (Rect{0, 0, 1280, 720}));
  EXPECT_EQ(parsePortionArgument("+4,06,2,2"), (Rect{4, 6, 2, 2}));
  for (const char* bad : {"0,0,1281,720", "0,0,1280,721", "0,0,0,720", "0,0,-2,720", "-2,0,640,360",
                          "0,-2,640,360", "1,2,3", "1,2,4,4,", "1,,4,4", " 1,2,4,4", "1,2,4,4 ",
                          "", ",,,", "1,2,4,4,6", "a,b,c,d", "1.0,2,4,4", "0,0,9223372036854775808,2"}) {
    EXPECT_FALSE(parsePortionArgument(bad)) << bad;
  }
  EXPECT_EQ(failure({"--portion", "1,,4,4"}), "invalid --portion 1,,4,4");
}

}  // namespace
}  // namespace pelorin::encoder
