// pelorin-probe: checks a frame stream record by record, decodes its H.264 and prints a summary.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "base/fd_output.h"
#include "media/frame_stream_reader.h"
#include "platform/ffmpeg/h264_decoder.h"
#include "probe/probe_stats.h"

namespace {

using pelorin::probe::ProbeStats;

struct Options {
  bool frames = false;
  std::optional<std::string> annexbPath;
  std::optional<std::string> inputPath;
};

constexpr const char* usage =
    "pelorin-probe " PELORIN_VERSION "\n"
    "usage: pelorin-probe [--frames] [--annexb OUT.h264] [FILE]\n"
    "Checks a Pelorin frame stream (standard input by default), decodes it and prints a summary.\n";

std::optional<Options> parseOptions(const std::vector<std::string>& words) {
  Options options;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (words[i] == "--frames") {
      options.frames = true;
    } else if (words[i] == "--annexb" && i + 1 < words.size()) {
      options.annexbPath = words[++i];
    } else if (!words[i].starts_with("--") && !options.inputPath) {
      options.inputPath = words[i];
    } else {
      return std::nullopt;
    }
  }
  return options;
}

int fail(const std::string& message) {
  pelorin::writeLine(STDERR_FILENO, "pelorin-probe: " + message);
  return 1;
}

int openOrFail(const std::string& path, int flags, int& fd) {
  fd = ::open(path.c_str(), flags, 0644);
  return fd < 0 ? fail(path + ": " + std::strerror(errno)) : 0;
}

// Credits decoded pictures to the records waiting for them, in order.
void credit(const pelorin::Result<std::vector<pelorin::platform::ffmpeg::DecodedPicture>>& pictures,
            std::deque<std::uint64_t>& waiting, ProbeStats& stats) {
  if (!pictures) {
    stats.addDecodeError();
    return;
  }
  for (const auto& picture : *pictures) {
    if (waiting.empty()) break;
    stats.addPicture(waiting.front(), picture.meanLuma());
    waiting.pop_front();
  }
}

int run(const Options& options) {
  int input = STDIN_FILENO;
  if (options.inputPath && *options.inputPath != "-") {
    if (int status = openOrFail(*options.inputPath, O_RDONLY | O_CLOEXEC, input)) return status;
  }
  int annexb = -1;
  if (options.annexbPath) {
    if (int status = openOrFail(*options.annexbPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, annexb)) return status;
  }
  auto decoder = pelorin::platform::ffmpeg::H264Decoder::create();
  if (!decoder) return fail("cannot create the H.264 decoder: " + decoder.error().description());

  pelorin::media::FrameStreamReader reader(input);
  ProbeStats stats;
  std::deque<std::uint64_t> waiting;
  for (;;) {
    auto record = reader.next();
    if (!record) return fail(record.error().description());
    if (!*record) break;
    const auto& frame = **record;
    const std::uint64_t index = stats.addRecord(frame.keyFrame, frame.payload.size(), frame.captureNanoseconds);
    if (annexb >= 0) {
      if (auto written = pelorin::writeAll(annexb, frame.payload.data(), frame.payload.size()); !written) {
        return fail(*options.annexbPath + ": " + written.error().description());
      }
    }
    auto pictures = (*decoder)->decode(frame.payload);
    if (pictures) waiting.push_back(index);
    credit(pictures, waiting, stats);
  }
  credit((*decoder)->flush(), waiting, stats);
  stats.setBytes(reader.bytesRead());

  std::string report;
  if (options.frames) {
    for (const auto& frame : stats.frames()) report += ProbeStats::frameLine(frame) + "\n";
  }
  report += stats.summaryLine() + "\n";
  if (annexb >= 0) ::close(annexb);
  return pelorin::writeAll(STDOUT_FILENO, report.data(), report.size()) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  pelorin::ignoreBrokenPipeSignal();
  const std::vector<std::string> words(argv + 1, argv + argc);
  if (words.size() == 1 && words[0] == "--help") {
    (void)pelorin::writeAll(STDOUT_FILENO, usage, std::strlen(usage));
    return 0;
  }
  const auto options = parseOptions(words);
  if (!options) {
    (void)pelorin::writeAll(STDERR_FILENO, usage, std::strlen(usage));
    return 2;
  }
  return run(*options);
}
