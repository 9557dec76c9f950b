#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "base/error.h"
#include "media/frame_stream.h"

namespace pelorin::media {

// One record of a frame stream, checked against the format.
struct FrameRecord {
  std::uint64_t offset = 0;  // byte offset of the record's header in the stream
  std::uint64_t captureNanoseconds = 0;
  bool keyFrame = false;
  ByteBuffer payload;
};

// Reads records from a file descriptor and checks each one: the magic, the length range, the
// flags, the start code at the head of the payload, SPS then PPS at the head of every key frame,
// and capture times that never go backwards. Errors (domain "FrameStream") name the byte
// offset of the offending record and the reason.
class FrameStreamReader {
 public:
  explicit FrameStreamReader(int fd) : fd_(fd) {}

  // The next record, nothing at a clean end of the stream, or the first fault found.
  Result<std::optional<FrameRecord>> next();
  // Bytes consumed so far.
  std::uint64_t bytesRead() const { return offset_; }

 private:
  // Reads exactly `size` bytes; returns how many arrived before the end of the stream.
  Result<std::size_t> readFully(std::uint8_t* data, std::size_t size);

  int fd_;
  std::uint64_t offset_ = 0;
  std::optional<std::uint64_t> lastCapture_;
};

// The reason a payload breaks the format, or nothing when it is well formed.
std::optional<std::string> payloadFault(const ByteBuffer& payload, bool keyFrame);

}  // namespace pelorin::media
