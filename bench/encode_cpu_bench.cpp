// CPU per frame of a whole pelorin-encoder run (synthetic 1080p30, libx264) against ffmpeg
// encoding the same frames with the same encoder settings.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "support/child_cpu.h"
#include "support/measure.h"

namespace {

using pelorin::bench::median;

constexpr int width = 1920, height = 1080, fps = 30, seconds = 5, frames = fps * seconds;

// The synthetic source's six frames as raw NV12, for ffmpeg to loop over.
std::string writeCycle() {
  const std::string path = std::filesystem::temp_directory_path() / ("pelorin-cycle-" + std::to_string(getpid()) + ".nv12");
  std::ofstream out(path, std::ios::binary);
  std::vector<char> luma(width * height), chroma(width * height / 2, static_cast<char>(128));
  for (int k = 0; k < 6; ++k) {
    std::fill(luma.begin(), luma.end(), static_cast<char>(48 + 24 * k));
    out.write(luma.data(), static_cast<std::streamsize>(luma.size()));
    out.write(chroma.data(), static_cast<std::streamsize>(chroma.size()));
  }
  return path;
}

}  // namespace

int main(int, char** argv) {
  const std::string encoder = pelorin::bench::builtProgram(argv[0], "pelorin-encoder");
  const std::string cycle = writeCycle();
  const std::string size = std::to_string(width) + "x" + std::to_string(height);
  const std::vector<std::string> ours = {encoder, "--source", "synthetic", "--width", std::to_string(width),
                                         "--height", std::to_string(height), "--fps", std::to_string(fps),
                                         "--bitrate", "8000000", "--duration", std::to_string(seconds)};
  const std::vector<std::string> ffmpeg = {
      "/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-f", "rawvideo", "-pix_fmt", "nv12", "-s", size, "-r",
      std::to_string(fps), "-stream_loop", "-1", "-i", cycle, "-frames:v", std::to_string(frames), "-c:v", "libx264",
      "-preset", "ultrafast", "-tune", "zerolatency", "-profile:v", "baseline", "-x264-params", "cabac=0",
      "-threads", "2", "-g", std::to_string(fps), "-bf", "0", "-b:v", "8000000", "-maxrate", "8000000", "-bufsize",
      "8000000", "-color_range", "tv", "-colorspace", "smpte170m", "-f", "h264", "-y", "/dev/null"};

  std::vector<double> oursPerFrame, ffmpegPerFrame;
  for (int round = 0; round < 3; ++round) {
    const auto a = pelorin::bench::runMeasured(ours, {"PELORIN_VIDEO_ENCODER=software"});
    const auto b = pelorin::bench::runMeasured(ffmpeg, {}, true);
    if (a.exitStatus != 0 || b.exitStatus != 0) {
      std::fprintf(stderr, "encode_cpu: a run failed (pelorin-encoder %d, ffmpeg %d)\n", a.exitStatus, b.exitStatus);
      std::filesystem::remove(cycle);
      return 1;
    }
    oursPerFrame.push_back(a.cpuSeconds * 1000 / frames);
    ffmpegPerFrame.push_back(b.cpuSeconds * 1000 / frames);
  }
  std::filesystem::remove(cycle);
  return pelorin::bench::reportRatio("encode_cpu_1080p30_x264", median(oursPerFrame), median(ffmpegPerFrame), 1.1,
                                     "ms/frame")
             ? 0
             : 1;
}
