#pragma once

// Shared by the libavcodec backend tests: a software session that records its outputs.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
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
  std::vector<DecodedPicture> pictures;
  if (!decoder) return pictures;
  for (const auto& unit : units) {
    auto decoded = (*decoder)->decode(unit);
    EXPECT_TRUE(decoded) << decoded.error().message;
    if (decoded) pictures.insert(pictures.end(), decoded->begin(), decoded->end());
  }
  auto held = (*decoder)->flush();
  if (held) pictures.insert(pictures.end(), held->begin(), held->end());
  return pictures;
}

struct Output {
  int index = -1;  // the frame's own number, carried in its context
  std::int32_t status = 0;
  bool hasSample = false;
  EncodedSample sample;
};

class Recorder {
 public:
  CompressionOutputHandler handler() {
    return [this](FrameContext context, std::int32_t status, const EncodedSample* sample) {
      if (beforeRecord) beforeRecord();
      Output out{context ? *static_cast<int*>(context.get()) : -1, status, sample != nullptr,
                 sample ? *sample : EncodedSample{}};
      std::lock_guard guard(mutex_);
      outputs_.push_back(std::move(out));
      changed_.notify_all();
    };
  }
  std::vector<Output> outputs() const {
    std::lock_guard guard(mutex_);
    return outputs_;
  }
  bool waitFor(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return outputs_.size() >= count; });
  }

  std::function<void()> beforeRecord;  // runs on the session's thread before each output is recorded

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Output> outputs_;
};

struct SessionOptions {
  ProfileLevel profile = ProfileLevel::ConstrainedBaselineAutoLevel;
  std::int32_t fps = 30;
  std::int32_t maxKeyFrameInterval = 30;
};

// A 640x360 x264 session configured as the media layer configures one, then prepared.
inline std::unique_ptr<CompressionSession> softwareSession(Recorder& recorder, const SessionOptions& o = {}) {
  FfmpegCompressionSessionFactory factory(EncoderChoice::fromWord("software"), "/nonexistent");
  std::unique_ptr<CompressionSession> session;
  EXPECT_EQ(factory.create({640, 360}, recorder.handler(), session), 0) << factory.lastFailure();
  if (!session) return nullptr;
  const bool cabac = o.profile != ProfileLevel::ConstrainedBaselineAutoLevel;
  const std::pair<CompressionProperty, PropertyValue> properties[] = {
      {CompressionProperty::RealTime, true},
      {CompressionProperty::AllowFrameReordering, false},
      {CompressionProperty::ProfileLevel, o.profile},
      {CompressionProperty::H264EntropyMode, cabac ? EntropyMode::CABAC : EntropyMode::CAVLC},
      {CompressionProperty::ExpectedFrameRate, o.fps},
      {CompressionProperty::AverageBitRate, std::int32_t{2'000'000}},
      {CompressionProperty::MaxKeyFrameInterval, o.maxKeyFrameInterval},
      {CompressionProperty::MaxKeyFrameIntervalDuration, std::int32_t{1}},
      {CompressionProperty::DataRateLimits, DataRateLimit{250'000, 1}}};
  for (const auto& [key, value] : properties) EXPECT_EQ(session->setProperty(key, value), 0) << propertyKeyName(key);
  EXPECT_EQ(session->prepareToEncodeFrames(), 0) << factory.lastFailure();
  return session;
}

// Submits a pool buffer of flat luma and neutral chroma, its index as its context.
inline std::int32_t submit(CompressionSession& session, int index, std::uint8_t luma, bool forceKey = false,
                           std::int32_t fps = 30) {
  auto pool = session.pixelBufferPool();
  PixelBufferRef buffer = pool ? pool->makeBuffer() : nullptr;
  if (!buffer || !buffer->lock(false)) return -1000;
  std::memset(buffer->planeBase(0), luma, buffer->bytesPerRow(0) * buffer->planeHeight(0));
  std::memset(buffer->planeBase(1), 128, buffer->bytesPerRow(1) * buffer->planeHeight(1));
  buffer->unlock(false);
  return session.encodeFrame(std::move(buffer), MediaTime{index, fps}, MediaTime{1, fps}, forceKey,
                             std::make_shared<int>(index));
}

}  // namespace pelorin::platform::ffmpeg::testing
