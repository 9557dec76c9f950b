#include "probe/probe_stats.h"

#include <cstdio>

namespace pelorin::probe {
namespace {

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

}  // namespace

std::uint64_t ProbeStats::addRecord(bool keyFrame, std::uint64_t payloadSize, std::uint64_t captureNanoseconds) {
  if (!frames_.empty() && captureNanoseconds >= frames_.back().captureNanoseconds) {
    const std::uint64_t gap = captureNanoseconds - frames_.back().captureNanoseconds;
    if (gap > maxGapNanoseconds_) maxGapNanoseconds_ = gap;
  }
  if (keyFrame) ++keyFrames_;
  frames_.push_back(FrameInfo{frames_.size(), keyFrame, payloadSize, captureNanoseconds, std::nullopt});
  return frames_.back().index;
}

void ProbeStats::addPicture(std::uint64_t index, double meanLuma) {
  ++decoded_;
  lumaSum_ += meanLuma;
  if (index < frames_.size()) frames_[index].meanLuma = meanLuma;
}

std::string ProbeStats::summaryLine() const {
  const std::uint64_t first = frames_.empty() ? 0 : frames_.front().captureNanoseconds;
  const std::uint64_t last = frames_.empty() ? 0 : frames_.back().captureNanoseconds;
  const double span = static_cast<double>(last - first);
  const double fps = frames_.size() > 1 && span > 0 ? static_cast<double>(frames_.size() - 1) * 1e9 / span : 0.0;
  const double luma = decoded_ > 0 ? lumaSum_ / static_cast<double>(decoded_) : 0.0;
  return "records=" + std::to_string(frames_.size()) + " key_frames=" + std::to_string(keyFrames_) +
         " decoded_frames=" + std::to_string(decoded_) + " decode_errors=" + std::to_string(decodeErrors_) +
         " bytes=" + std::to_string(bytes_) + " first_capture_ns=" + std::to_string(first) +
         " last_capture_ns=" + std::to_string(last) + " capture_fps=" + fixed(fps, 2) +
         " max_gap_ms=" + fixed(static_cast<double>(maxGapNanoseconds_) / 1e6, 3) + " mean_luma=" + fixed(luma, 2);
}

std::string ProbeStats::frameLine(const FrameInfo& frame) {
  return "frame index=" + std::to_string(frame.index) + " key=" + (frame.keyFrame ? "1" : "0") +
         " size=" + std::to_string(frame.size) + " capture_ns=" + std::to_string(frame.captureNanoseconds) +
         " mean_luma=" + (frame.meanLuma ? fixed(*frame.meanLuma, 2) : std::string("none"));
}

}  // namespace pelorin::probe
