#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pelorin::probe {

// What the inspector learns of one record.
struct FrameInfo {
  std::uint64_t index = 0;
  bool keyFrame = false;
  std::uint64_t size = 0;  // payload bytes
  std::uint64_t captureNanoseconds = 0;
  std::optional<double> meanLuma;  // absent until (unless) the frame decodes
};

// Accumulates a stream's records and decoded pictures into the inspector's report.
class ProbeStats {
 public:
  // Records a checked record; returns its index.
  std::uint64_t addRecord(bool keyFrame, std::uint64_t payloadSize, std::uint64_t captureNanoseconds);
  // A decoded picture belonging to the record `index`.
  void addPicture(std::uint64_t index, double meanLuma);
  void addDecodeError() { ++decodeErrors_; }
  void setBytes(std::uint64_t bytes) { bytes_ = bytes; }

  const std::vector<FrameInfo>& frames() const { return frames_; }
  // "records=... key_frames=... decoded_frames=... decode_errors=... bytes=... first_capture_ns=...
  // last_capture_ns=... capture_fps=... max_gap_ms=... mean_luma=..."
  std::string summaryLine() const;
  // "frame index=... key=... size=... capture_ns=... mean_luma=..."
  static std::string frameLine(const FrameInfo& frame);

 private:
  std::vector<FrameInfo> frames_;
  std::uint64_t keyFrames_ = 0;
  std::uint64_t decoded_ = 0;
  std::uint64_t decodeErrors_ = 0;
  std::uint64_t bytes_ = 0;
  double lumaSum_ = 0;
  std::uint64_t maxGapNanoseconds_ = 0;
};

}  // namespace pelorin::probe
