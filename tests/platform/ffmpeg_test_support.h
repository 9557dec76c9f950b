#pragma once

// Shared by the libavcodec backend tests: a software session that records its outputs.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <thread>
#include <functional>
#include <mutex>
#include <vector>

#include "media/frame_stream.h"
#include "media/hardware_encoder.h"
#include "platform/compression_session.h"
#include "platform/ffmpeg/compression_session_ffmpeg.h"
#include "platform/ffmpeg/h264_decoder.h"

namespace pelorin::platform::ffmpeg::testing {

// The sample as the frame stream carries it: Annex-B, key frames led by their SPS and PPS.
inline Result<std::vector<std::uint8_t>> accessUnit(const EncodedSample& sample) {
  Result<media::ByteBuffer> record = media::makeFrameRecord(sample, 0);
  if (!record) return record.error();
  return std::vector<std::uint8_t>(record->begin() + media::frameHeaderSize, record->end());
}

// Every picture of a stream of Annex-B access units, the decoder's held ones included.
inline std::vector<DecodedPicture> decodeAll(const std::vector<std::vector<std::uint8_t>>& units) {
  auto decoder = H264Decoder::create();
  EXPECT_TRUE(decoder);
  std::vector<DecodedPicture> pictures;
  if (!decoder) return pictures;
  for (const auto& unit : units) {
    auto decoded = (*decoder)->decode(unit);
    EXPECT_TRUE(decoded) << decoded.error().message;
    if (decoded) pictures.insert(pictures.end(), decoded->begin(), decoded->end());
  }
  auto held = (*decoder)->flush();
  EXPECT_TRUE(held) << held.error().message;
  if (held) pictures.insert(pictures.end(), held->begin(), held->end());
  return pictures;
}

struct Output {
  int index = -1;  // the frame's own number, carried in its context
  std::int32_t status = 0;
  bool hasSample = false;
  EncodedSample sample;
  std::thread::id thread;
};

class Recorder {
 public:
  CompressionOutputHandler handler() {
    return [this](FrameContext context, std::int32_t status, const EncodedSample* sample) {
      if (beforeRecord) beforeRecord();
      Output out;
      out.index = context ? *static_cast<int*>(context.get()) : -1;
      out.status = status;
      out.hasSample = sample != nullptr;
      if (sample) out.sample = *sample;
      out.thread = std::this_thread::get_id();
      std::lock_guard guard(mutex_);
      outputs_.push_back(std::move(out));
      changed_.notify_all();
    };
  }

  std::vector<Output> outputs() const {
    std::lock_guard guard(mutex_);
    return outputs_;
  }

  bool waitFor(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return outputs_.size() >= count; });
  }

  // Runs on the session's thread before each output is recorded.
  std::function<void()> beforeRecord;

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Output> outputs_;
};

struct SessionOptions {
  ProfileLevel profile = ProfileLevel::ConstrainedBaselineAutoLevel;
  std::int32_t fps = 30;
  std::int32_t bitrate = 2'000'000;
  std::int32_t maxKeyFrameInterval = 30;
  std::int32_t maxKeyFrameIntervalDuration = 1;
  int width = 640;
  int height = 360;
};

// Sets the properties in the order the media layer does, then prepares.
inline void configure(CompressionSession& session, const SessionOptions& o) {
  const bool cabac = o.profile != ProfileLevel::ConstrainedBaselineAutoLevel;
  ASSERT_EQ(session.setProperty(CompressionProperty::RealTime, true), 0);
  ASSERT_EQ(session.setProperty(CompressionProperty::AllowFrameReordering, false), 0);
  ASSERT_EQ(session.setProperty(CompressionProperty::ProfileLevel, o.profile), 0);
  if (cabac) {
    ASSERT_EQ(session.setProperty(CompressionProperty::H264EntropyMode, EntropyMode::CABAC), 0);
  }
  ASSERT_EQ(session.setProperty(CompressionProperty::ExpectedFrameRate, o.fps), 0);
  ASSERT_EQ(session.setProperty(CompressionProperty::AverageBitRate, o.bitrate), 0);
  ASSERT_EQ(session.setProperty(CompressionProperty::MaxKeyFrameInterval, o.maxKeyFrameInterval), 0);
  ASSERT_EQ(session.setProperty(CompressionProperty::MaxKeyFrameIntervalDuration, o.maxKeyFrameIntervalDuration), 0);
  ASSERT_EQ(session.setProperty(CompressionProperty::DataRateLimits, DataRateLimit{o.bitrate / 8, 1}), 0);
  ASSERT_EQ(session.prepareToEncodeFrames(), 0);
}

inline std::unique_ptr<CompressionSession> softwareSession(Recorder& recorder, const SessionOptions& o = {}) {
  FfmpegCompressionSessionFactory factory(EncoderChoice::fromWord("software"), "/nonexistent");
  CompressionSessionSpec config;
  config.width = o.width;
  config.height = o.height;
  std::unique_ptr<CompressionSession> session;
  EXPECT_EQ(factory.create(config, recorder.handler(), session), 0) << factory.lastFailure();
  if (!session) return nullptr;
  configure(*session, o);
  return session;
}

// A pool buffer filled with flat luma and neutral chroma.
inline PixelBufferRef flatFrame(CompressionSession& session, std::uint8_t luma) {
  auto pool = session.pixelBufferPool();
  if (!pool) return nullptr;
  PixelBufferRef buffer = pool->makeBuffer();
  if (!buffer || !buffer->lock(false)) return nullptr;
  for (int plane = 0; plane < 2; ++plane) {
    const std::uint8_t value = plane == 0 ? luma : 128;
    for (int y = 0; y < buffer->planeHeight(plane); ++y) {
      std::memset(buffer->planeBase(plane) + y * buffer->bytesPerRow(plane), value,
                  static_cast<std::size_t>(buffer->planeWidth(plane)) * (plane == 0 ? 1 : 2));
    }
  }
  buffer->unlock(false);
  return buffer;
}

inline std::int32_t submit(CompressionSession& session, int index, std::uint8_t luma, bool forceKey = false,
                           std::int32_t fps = 30) {
  PixelBufferRef buffer = flatFrame(session, luma);
  if (!buffer) return -1000;
  return session.encodeFrame(std::move(buffer), MediaTime{index, fps}, MediaTime{1, fps}, forceKey,
                             std::make_shared<int>(index));
}

}  // namespace pelorin::platform::ffmpeg::testing
