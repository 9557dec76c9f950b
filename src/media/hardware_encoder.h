#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/error.h"
#include "base/thread_annotations.h"
#include "media/frame_stream.h"
#include "media/stream_settings.h"
#include "platform/compression_session.h"

namespace pelorin::media {

// The Unix capture time of one frame, carried through the asynchronous encoder.
struct FrameMetadata {
  const std::uint64_t captureNanoseconds;
};

// Bit rates below this are raised to it: one byte a second, the least a rate in whole bytes says.
constexpr std::int32_t minimumBitrate = 8;

struct EncoderSettings {
  StreamSettings stream;
  int outputFd = 1;  // where the frame stream goes
  int errorFd = 2;   // where diagnostic lines go
};

// The whole frame-stream record of one encoded frame: header, then (for a key frame) SPS and PPS,
// then the frame's NAL units, all behind 4-byte start codes.
Result<ByteBuffer> makeFrameRecord(const platform::EncodedSample& sample, std::uint64_t captureNanoseconds);

// One H.264 compression session per capture run, turning frames into frame-stream records
// written whole to the output. At most 6 frames are in flight; beyond that the newest frame is
// dropped and counted.
class HardwareEncoder {
 public:
  static constexpr std::int64_t queueCapacity = 6;
  static constexpr int maxFailedFramesInARow = 5;

  // Creates and prepares the session and writes the "capture_encoder" line. A software
  // session is refused unless the user explicitly chose software encoding.
  static Result<std::unique_ptr<HardwareEncoder>> create(platform::CompressionSessionFactory& factory,
                                                         const EncoderSettings& settings);
  ~HardwareEncoder();
  HardwareEncoder(const HardwareEncoder&) = delete;
  HardwareEncoder& operator=(const HardwareEncoder&) = delete;

  // A buffer from the session's pool, for producers that draw their own frames.
  Result<platform::PixelBufferRef> makePixelBuffer();
  // Submits one frame; problems are logged, never returned.
  void encode(platform::PixelBufferRef pixelBuffer, platform::MediaTime presentationTime,
              std::uint64_t captureNanoseconds);
  // Makes the next submitted frame a key frame.
  void requestKeyframe();
  // Waits for every pending frame, closes the session and writes the summary line; after a run
  // failure it returns that failure instead, without a summary.
  Result<void> finish(std::int64_t captureDrops, std::int64_t captureQueueMaxDepth);

  // Ends the process with `status` at once, but never in the middle of a record: a record being
  // written is completed first. Callable from any thread; does not return.
  [[noreturn]] void endProcessBetweenRecords(int status);

  // The first fault that ends the run, if any: a failed write to the output (a reader that went
  // away), or a session that failed maxFailedFramesInARow frames in a row.
  std::optional<Error> runFailure() const;
  // Told once, on the thread that saw it, of the run failure; null to stop being told.
  void setFailureHandler(std::function<void(const Error&)> handler);

  struct Counters {
    std::int64_t outstanding, maxOutstanding, encoderDrops, encodedFrames;
  };
  Counters counters() const;

 private:
  explicit HardwareEncoder(const EncoderSettings& settings);
  Result<void> initialize(platform::CompressionSessionFactory& factory);
  void handleOutput(platform::FrameContext context, std::int32_t status,
                    const platform::EncodedSample* sample);
  Result<void> emit(const platform::EncodedSample& sample, std::uint64_t captureNanoseconds);
  void frameReturned();
  void countFailedFrame(std::int32_t status);
  void failRun(const Error& error);

  // Replaced only during creation and by finish(); encode() may read it from another thread.
  std::atomic<std::shared_ptr<platform::CompressionSession>> session_;
  const EncoderSettings settings_;

  mutable Mutex lock_;
  std::int64_t outstanding_ GUARDED_BY(lock_) = 0;
  std::int64_t maxOutstanding_ GUARDED_BY(lock_) = 0;
  std::int64_t encoderDrops_ GUARDED_BY(lock_) = 0;
  std::int64_t encodedFrames_ GUARDED_BY(lock_) = 0;
  bool forceKeyframe_ GUARDED_BY(lock_) = false;
  std::optional<std::uint64_t> lastKeyframeCapture_ GUARDED_BY(lock_);  // capture time of the last key frame
  int failedInARow_ GUARDED_BY(lock_) = 0;  // frames the session returned with an error since the last good one
  std::optional<Error> failure_ GUARDED_BY(lock_);
  std::function<void(const Error&)> failureHandler_ GUARDED_BY(lock_);

  Mutex outputLock_;  // serialises writes to the output
};

// Converts 4-byte big-endian length-prefixed NAL units to Annex-B with 4-byte start codes,
// appending to `out`. One to three bytes left over at the end are ignored.
Result<void> appendAnnexBFromAvcc(const platform::Bytes& avcc, std::vector<std::uint8_t>& out);

}  // namespace pelorin::media
