// Control lines from the host, read and applied, and the geometry of the crops they ask for.
#include "capture/control_channel.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "base/line_assembler.h"
#include "capture/capture_configuration.h"
#include "capture/crop_geometry.h"
#include "media/encoder_harness.h"
#include "support/temp_file.h"

namespace pelorin::capture {
namespace {

using K = ControlCommand::Kind;

TEST(ParseControlLine, AcceptsExactlyTheCommands) {
  const std::vector<std::pair<std::string, ControlCommand>> accepted = {
      {"KEYFRAME", {K::keyframe}}, {"  KEYFRAME  ", {K::keyframe}}, {"PAUSE", {K::pause}},
      {"RESUME", {K::resume}}, {"CROP 1920 1080", ControlCommand::crop(1920, 1080)},
      {"CROP   1920    1080   ", ControlCommand::crop(1920, 1080)}, {"CROP 2 2", ControlCommand::crop(2, 2)},
      {"CROP +1920 1080", ControlCommand::crop(1920, 1080)},
  };
  for (const auto& [line, command] : accepted) {
    const auto parsed = parseControlLine(line);
    ASSERT_TRUE(parsed) << line;
    EXPECT_EQ(*parsed, command) << line;
  }
  for (const char* line : {"", "   ", "keyframe", "KeyFrame", "KEYFRAME now", "PAUSE PAUSE", "\tKEYFRAME",
                           "CROP 1 1080", "CROP 1920 0", "CROP -4 100", "CROP 1920", "CROP 1920 1080 3",
                           "CROP 1920.0 1080", "CROP 0x780 1080", "CROP 99999999999999999999 1080",
                           "CROP\t1920\t1080", "CROP", "KEYFRAME\r"}) {
    EXPECT_FALSE(parseControlLine(line)) << line;
  }
  EXPECT_FALSE(ControlCommand::crop(2, 4) == ControlCommand::crop(4, 2));
}

TEST(ReadControl, AppliesEachLineInOrder) {
  test::EncoderHarness h;
  auto encoder = h.makeEncoder();
  media::ScreenOutput output(*encoder, {0, 0}, h.err.fd());
  PendingCrop crops;
  int ended = 0;
  const auto start = [&](int fd) {
    return readControl(fd, h.err.fd(), *encoder, &output, [&](std::int64_t w, std::int64_t h) { crops.set(w, h); },
                       [&] { ++ended; });
  };

  encoder->encode(nullptr, {0, 30}, 1);  // the stream's first frame, a key frame of its own
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::string input = "PAUSE\nPAUSE\r\nCROP 640 360\nnoise\nCROP 800 600\nRESUME";  // last line unended
  ASSERT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  close(fds[1]);
  start(fds[0])->join();
  close(fds[0]);

  EXPECT_EQ(ended, 1);
  EXPECT_FALSE(output.paused());
  EXPECT_EQ(crops.take(), (std::pair<std::int64_t, std::int64_t>{800, 600}));  // only the newest survives
  EXPECT_FALSE(crops.take());
  const std::string lines = h.err.contents();
  const std::string pauses = "capture_window paused=true\ncapture_window paused=true\ncapture_window paused=false\n";
  EXPECT_EQ(lines.substr(lines.size() - pauses.size()), pauses);
  // RESUME requested a key frame for the next frame.
  encoder->encode(nullptr, {1, 30}, 2);
  EXPECT_TRUE(h.factory.log.submissions.back().forceKeyFrame);

  // A reader closed before its lines come (its run is over) applies none of them.
  ASSERT_EQ(pipe(fds), 0);
  auto closed = start(fds[0]);
  closed->close();
  ASSERT_EQ(write(fds[1], "PAUSE\nCROP 640 360\n", 20), 20);
  close(fds[1]);
  closed->join();
  close(fds[0]);
  EXPECT_EQ(ended, 1);
  EXPECT_FALSE(output.paused());
  EXPECT_FALSE(crops.take());
  EXPECT_TRUE(h.err.contents().ends_with(pauses));

  // The host may keep the input open: the reader's owner wakes it and joins it, with no end of input.
  ASSERT_EQ(pipe(fds), 0);
  start(fds[0]).reset();
  EXPECT_EQ(ended, 1);
  close(fds[0]);
  close(fds[1]);
}

TEST(LineAssembly, SplitsLinesAcrossReadsWithinItsBound) {
  struct Case {
    std::vector<std::string> reads;
    std::vector<std::string> lines;  // the unended last line included
  };
  const std::string overlong(70000, 'x');
  const std::vector<Case> cases = {
      {{"KEY", "FRAME\nPAU", "SE\n"}, {"KEYFRAME", "PAUSE"}},
      {{"A\r\n\nB"}, {"A\r", "", "B"}},
      {{overlong, overlong, "\nKEYFRAME\n"}, {"KEYFRAME"}},  // too long: dropped whole, the next line kept
      {{overlong + "\nX"}, {"X"}},
      {{std::string(65536, 'y') + "\n"}, {std::string(65536, 'y')}},  // exactly at the bound
  };
  for (const Case& c : cases) {
    LineAssembler assembler;
    std::vector<std::string> lines;
    const auto take = [&](std::string_view line) { lines.emplace_back(line); };
    for (const std::string& read : c.reads) {
      assembler.feed(read, take);
      EXPECT_LE(assembler.pending().size(), 65536u);
    }
    assembler.finish(take);
    EXPECT_EQ(lines, c.lines) << c.reads.front().substr(0, 20);
  }
}

// The content sits above an equal bottom margin, centred across; a letterbox fits and centres in
// whole pixels; a stream size fits with even sides and never enlarges.
TEST(CropGeometry, ContentCropLetterboxAndStreamSize) {
  EXPECT_EQ(contentCrop({800, 600}, {1000, 500}), (Rect{0, 100, 800, 500}));
  EXPECT_EQ(contentCrop({1000, 700}, {600, 650}), (Rect{200, 0, 600, 650}));
  EXPECT_EQ(contentCrop({1280, 800}, {1280, 800}), (Rect{0, 0, 1280, 800}));
  EXPECT_EQ(contentCrop({1512, 982}, {1512, 945}), (Rect{0, 37, 1512, 945}));
  EXPECT_EQ(letterboxRect({800, 600}, {1920, 1080}), (Rect{240, 0, 1440, 1080}));
  EXPECT_EQ(letterboxRect({1281, 720}, {1920, 1080}), (Rect{0, 1, 1920, 1079}));
  EXPECT_EQ(letterboxRect({640, 360}, {1920, 1080}), (Rect{0, 0, 1920, 1080}));
  EXPECT_EQ(streamSize({2560, 1600}, {1920, 1080}), (Size{1728, 1080}));
  EXPECT_EQ(streamSize({1000, 500}, {3840, 2160}), (Size{1000, 500}));
  EXPECT_EQ(streamSize({3, 3}, {100, 100}), (Size{2, 2}));
  EXPECT_EQ(streamSize({1001, 501}, {3840, 2160}), (Size{1000, 500}));
  for (auto [source, bound] : {std::pair<Size, Size>{{1920, 1080}, {1920, 0}}, {{0, 1080}, {1920, 1080}},
                               {{-5, 10}, {1920, 1080}}}) {
    EXPECT_EQ(streamSize(source, bound), (Size{0, 0}));
  }
}

}  // namespace
}  // namespace pelorin::capture
