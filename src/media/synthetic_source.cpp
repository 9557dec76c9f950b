#include "media/synthetic_source.h"

#include <array>
#include <chrono>
#include <cstring>
#include <limits>
#include <thread>

#include "base/thread_annotations.h"
#include "base/thread_name.h"
#include "media/capture_run.h"
#include "media/clock.h"

namespace pelorin::media {
namespace {

constexpr int cycleLength = 6;
using Cycle = std::array<platform::PixelBufferRef, cycleLength>;

void fillPlane(platform::PixelBuffer& buffer, int plane, std::uint8_t value) {
  std::memset(buffer.planeBase(plane), value,
              buffer.bytesPerRow(plane) * static_cast<std::size_t>(buffer.planeHeight(plane)));
}

Result<Cycle> makeCycle(HardwareEncoder& encoder) {
  Cycle cycle;
  for (int k = 0; k < cycleLength; ++k) {
    Result<platform::PixelBufferRef> buffer = encoder.makePixelBuffer();
    if (!buffer) return buffer.error();
    platform::PixelBuffer& b = **buffer;
    if (!b.lock(false)) return Error{"CoreVideo", -1, "pixel buffer lock failed"};
    fillPlane(b, 0, syntheticLuma(k));
    fillPlane(b, 1, 128);
    b.unlock(false);
    cycle[k] = std::move(*buffer);
  }
  return cycle;
}

std::int64_t frameCount(platform::FrameRate rate, std::int64_t duration) {
  std::int64_t total = 0;
  if (__builtin_mul_overflow(std::int64_t{rate.num}, duration, &total)) return std::numeric_limits<std::int64_t>::max();
  return total / rate.den;
}

// The producer thread: frame i at start + i intervals, until all are out or it is stopped.
class SyntheticProducer final : public RunSource {
 public:
  SyntheticProducer(platform::FrameRate rate, std::int64_t total, HardwareEncoder& encoder,
                    std::shared_ptr<RunStop> stop)
      : rate_(rate), total_(total), encoder_(encoder), stop_(std::move(stop)) {}

  Result<void> start() override {
    Result<Cycle> cycle = makeCycle(encoder_);
    if (!cycle) return cycle.error();
    cycle_ = std::move(*cycle);
    thread_ = std::thread([this] {
      nameThisThread("pelorin.synth");
      produce();
    });
    return {};
  }

  Result<void> stop() override {
    {
      MutexLock lock(mutex_);
      stopping_ = true;
    }
    wake_.notifyAll();
    if (thread_.joinable()) thread_.join();
    return {};
  }

 private:
  void produce() {
    using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC
    const auto interval = std::chrono::nanoseconds(static_cast<std::int64_t>(1e9 / rate_.perSecond()));
    const Clock::time_point start = Clock::now();
    for (std::int64_t i = 0; i < total_; ++i) {
      encoder_.encode(cycle_[static_cast<std::size_t>(i % cycleLength)], platform::MediaTime{i * rate_.den, rate_.num},
                      unixNanosecondsNow());
      MutexLock lock(mutex_);
      // Deadlines count from the start, so a late wake-up does not delay the frames after it.
      if (wake_.waitUntil(lock, start + (i + 1) * interval, [&] { return stopping_; })) return;
    }
    stop_->complete();
  }

  const platform::FrameRate rate_;
  const std::int64_t total_;
  HardwareEncoder& encoder_;
  const std::shared_ptr<RunStop> stop_;
  Cycle cycle_;
  Mutex mutex_;
  CondVar wake_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace

Result<void> runSynthetic(platform::FrameRate rate, std::int64_t duration, HardwareEncoder& encoder, int errorFd) {
  const std::int64_t total = frameCount(rate, duration);
  auto stop = std::make_shared<RunStop>();
  SyntheticProducer producer(rate, total, encoder, stop);
  RunPlan plan;
  plan.source = &producer;
  plan.durationSeconds = static_cast<double>(duration);
  plan.sourceEndsItself = true;
  plan.captureStats = [total] { return std::pair<std::int64_t, std::int64_t>{0, total < 1 ? 0 : 1}; };
  return runCapture(encoder, stop, plan, errorFd);
}

}  // namespace pelorin::media
