#include "media/synthetic_source.h"

#include <array>
#include <cstring>
#include <limits>

#include "base/clock_sleep.h"
#include "media/clock.h"

namespace pelorin::media {
namespace {

constexpr int cycleLength = 6;

void fillPlane(platform::PixelBuffer& buffer, int plane, std::uint8_t value) {
  std::memset(buffer.planeBase(plane), value,
              buffer.bytesPerRow(plane) * static_cast<std::size_t>(buffer.planeHeight(plane)));
}

Result<std::array<platform::PixelBufferRef, cycleLength>> makeCycle(HardwareEncoder& encoder) {
  std::array<platform::PixelBufferRef, cycleLength> cycle;
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

std::int64_t frameCount(std::int64_t fps, std::int64_t duration) {
  std::int64_t total = 0;
  if (__builtin_mul_overflow(fps, duration, &total)) return std::numeric_limits<std::int64_t>::max();
  return total;
}

}  // namespace

Result<void> runSynthetic(std::int64_t fps, std::int64_t duration, HardwareEncoder& encoder) {
  const auto interval = static_cast<std::uint64_t>(1e9 / static_cast<double>(fps));
  const std::uint64_t start = monotonicNanosecondsNow();
  const std::int64_t total = frameCount(fps, duration);

  auto cycle = makeCycle(encoder);
  if (!cycle) return cycle.error();

  const auto timescale = static_cast<std::int32_t>(fps);
  for (std::int64_t i = 0; i < total; ++i) {
    encoder.encode((*cycle)[static_cast<std::size_t>(i % cycleLength)], platform::MediaTime{i, timescale},
                   unixNanosecondsNow());
    if (std::optional<Error> failure = encoder.outputFailure()) {
      encoder.finish(0, 1);
      return *failure;
    }
    sleepUntil(CLOCK_MONOTONIC, start + static_cast<std::uint64_t>(i + 1) * interval);
  }
  encoder.finish(0, total < 1 ? 0 : 1);
  return {};
}

}  // namespace pelorin::media
