#pragma once

// A scripted compression session: records what the encoder asks of it and delivers outputs
// when the test says so, or on a thread of its own.

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "platform/compression_session.h"

namespace pelorin::test {

using platform::Bytes;
using platform::EncodedSample;

struct Submission {
  platform::PixelBufferRef buffer;
  platform::MediaTime presentationTime;
  bool forceKeyFrame = false;
};

struct FakeScript {
  std::int32_t createStatus = 0;
  std::int32_t prepareStatus = 0;
  bool usingHardware = true;
  bool softwareChosen = false;
  std::int32_t submitStatus = 0;
  std::size_t poolLimit = 0;
  bool deliverOnThread = false;  // every accepted frame is delivered at once by the session's thread
};

// An encoded sample: key frames carry SPS {0x67, ...} and PPS {0x68, ...}.
EncodedSample sampleFor(bool key, Bytes avcc);
// 4-byte big-endian length prefix + unit, for each unit.
Bytes avccOf(const std::vector<Bytes>& units);

// What the sessions were asked; kept by the factory, so it outlives the sessions.
struct FakeLog {
  std::optional<platform::CompressionSettings> prepared;
  std::vector<Submission> submissions;
  bool invalidated = false;
};

class FakeSession final : public platform::CompressionSession {
 public:
  FakeSession(FakeScript script, FakeLog& log, int width, int height, platform::CompressionOutputHandler output);
  ~FakeSession() override { invalidate(); }

  std::string encoderName() const override { return script_.softwareChosen ? "x264" : "fakehw"; }
  bool softwareExplicitlyChosen() const override { return script_.softwareChosen; }
  bool usingHardware() const override { return script_.usingHardware; }
  std::int32_t prepareToEncodeFrames(const platform::CompressionSettings& settings) override {
    log_.prepared = settings;
    return script_.prepareStatus;
  }
  std::shared_ptr<platform::NV12BufferPool> pixelBufferPool() override {
    std::lock_guard lock(mutex_);
    return log_.invalidated ? nullptr : pool_;
  }
  std::int32_t encodeFrame(platform::PixelBufferRef buffer, platform::MediaTime presentationTime,
                           platform::MediaTime duration, bool forceKeyFrame, platform::FrameContext context) override;
  std::int32_t completeFrames() override;
  void invalidate() override;

  // Delivers the oldest pending frame with this sample, or fails it with a status.
  void deliverNext(const EncodedSample& sample) {
    if (auto next = takeNext()) output_(std::move(*next), 0, &sample);
  }
  void failNext(std::int32_t status) {
    if (auto next = takeNext()) output_(std::move(*next), status, nullptr);
  }

 private:
  std::optional<platform::FrameContext> takeNext();
  void workerLoop();

  FakeLog& log_;
  FakeScript script_;
  platform::CompressionOutputHandler output_;
  std::shared_ptr<platform::NV12BufferPool> pool_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::pair<platform::FrameContext, bool>> pending_;  // context, forced key frame
  std::size_t inDelivery_ = 0;
  bool stopping_ = false;
  std::thread worker_;
};

class FakeFactory final : public platform::CompressionSessionFactory {
 public:
  explicit FakeFactory(FakeScript script = {}) : script(script) {}
  std::int32_t create(const platform::CompressionSessionSpec& spec, platform::CompressionOutputHandler output,
                      std::unique_ptr<platform::CompressionSession>& session) override;

  FakeScript script;
  FakeLog log;
  FakeSession* last = nullptr;  // owned by the encoder; gone once it finishes
  platform::CompressionSessionSpec lastSpec;
};

}  // namespace pelorin::test
