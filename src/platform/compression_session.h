#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/media_time.h"
#include "platform/pixel_buffer.h"

namespace pelorin::platform {

using Bytes = std::vector<std::uint8_t>;

enum class ProfileLevel { ConstrainedBaselineAutoLevel, MainAutoLevel, HighAutoLevel };

// What a session encodes, fixed when it is prepared; each backend converts it at its own edge.
// Every session is real time and never reorders frames (no B-frames).
struct CompressionSettings {
  FrameRate frameRate = defaultFrameRate;  // also the longest key-frame interval: one second of frames
  std::int32_t bitRate = 0;  // average and peak bits per second; 0: no target, constant quality
  ProfileLevel profile = ProfileLevel::ConstrainedBaselineAutoLevel;  // main and high use CABAC
  friend bool operator==(const CompressionSettings&, const CompressionSettings&) = default;
};

// One encoded frame as the session delivers it.
struct EncodedSample {
  // The frame depends on earlier frames (it is not a sync / IDR frame).
  bool notSync = false;
  // Parameter sets of the stream by index: 0 the sequence parameter set, 1 the picture
  // parameter set. An entry without a value could not be read.
  std::vector<std::optional<Bytes>> parameterSets;
  // The frame's NAL units, each behind a 4-byte big-endian length, without parameter sets.
  // Absent when the sample has no data block.
  std::optional<Bytes> dataBlock;
};

// Opaque per-frame context handed back with the frame's output.
using FrameContext = std::shared_ptr<void>;

// Called once for every frame that encodeFrame() accepted, on the session's own thread:
// status 0 and a sample on success, otherwise a non-zero status and no sample.
using CompressionOutputHandler =
    std::function<void(FrameContext context, std::int32_t status, const EncodedSample* sample)>;

struct CompressionSessionSpec {
  int width = 0;
  int height = 0;
  bool requireHardware = true;
  std::uint32_t sourcePixelFormat = pixelFormat420v;
};

// One H.264 compression session. Statuses are 0 for success, otherwise a platform status.
class CompressionSession {
 public:
  virtual ~CompressionSession() = default;

  // Name of the encoder in use, for logs: "vaapi", "nvenc", "qsv" or "x264".
  virtual std::string encoderName() const = 0;
  // True when the user explicitly chose software encoding for this process.
  virtual bool softwareExplicitlyChosen() const = 0;

  // Whether the encoder in use is the video hardware's.
  virtual bool usingHardware() const = 0;
  virtual std::int32_t prepareToEncodeFrames(const CompressionSettings& settings) = 0;

  // Pool of source buffers (NV12 video range, width x height); null once invalidated.
  virtual std::shared_ptr<NV12BufferPool> pixelBufferPool() = 0;

  // Queues one frame. A non-zero status means the frame was not accepted and its output
  // handler will not be called.
  virtual std::int32_t encodeFrame(PixelBufferRef buffer, MediaTime presentationTime,
                                   MediaTime duration, bool forceKeyFrame, FrameContext context) = 0;
  // Waits until every accepted frame has been delivered to the output handler.
  virtual std::int32_t completeFrames() = 0;
  // Ends the session; later calls fail. Frames still pending get an error output.
  virtual void invalidate() = 0;
};

// The status of a create() that found no usable encoder on this machine.
inline constexpr std::int32_t noUsableEncoderStatus = -1129203192;  // FFmpeg's AVERROR_ENCODER_NOT_FOUND

class CompressionSessionFactory {
 public:
  virtual ~CompressionSessionFactory() = default;
  // Creates a session or returns a non-zero status and leaves `session` empty.
  virtual std::int32_t create(const CompressionSessionSpec& spec, CompressionOutputHandler output,
                              std::unique_ptr<CompressionSession>& session) = 0;
  // Why the last create() failed, in words a user can act on; empty when unknown or after a success.
  virtual std::string lastFailure() const { return {}; }
};

}  // namespace pelorin::platform
