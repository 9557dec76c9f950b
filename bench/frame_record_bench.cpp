// Building and writing one frame-stream record against a plain copy and write of the same bytes.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <random>

#include "media/hardware_encoder.h"
#include "support/measure.h"

namespace {

using pelorin::platform::Bytes;
using pelorin::platform::EncodedSample;

// A delta frame of `size` bytes in NAL units of about 1400 bytes, as an encoder's slices come.
EncodedSample sampleOfSize(std::size_t size) {
  std::mt19937 random(7);
  EncodedSample sample;
  sample.notSync = true;
  Bytes avcc;
  while (avcc.size() < size) {
    const std::size_t unit = std::min<std::size_t>(1400, size - avcc.size() + 4);
    const std::size_t body = unit - 4;
    for (int shift = 24; shift >= 0; shift -= 8) avcc.push_back(static_cast<std::uint8_t>(body >> shift));
    avcc.push_back(0x41);
    for (std::size_t i = 1; i < body; ++i) avcc.push_back(static_cast<std::uint8_t>(random()));
  }
  sample.dataBlock = std::move(avcc);
  return sample;
}

}  // namespace

int main() {
  const int sink = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  bool allMet = true;
  for (const std::size_t size : {2048u, 51200u, 512000u}) {
    const EncodedSample sample = sampleOfSize(size);
    const int iterations = static_cast<int>(200000000 / (size + 20000));
    const double ours = pelorin::bench::medianNanoseconds(
        [&] {
          auto record = pelorin::media::makeFrameRecord(sample, 123456789);
          if (!record || ::write(sink, record->data(), record->size()) < 0) std::abort();
        },
        iterations);
    const double baseline = pelorin::bench::medianNanoseconds(
        [&] {
          std::vector<std::uint8_t> copy(sample.dataBlock->size());
          std::memcpy(copy.data(), sample.dataBlock->data(), copy.size());
          if (::write(sink, copy.data(), copy.size()) < 0) std::abort();
        },
        iterations);
    allMet &= pelorin::bench::reportRatio("frame_record_" + std::to_string(size / 1024) + "KB", ours / 1000,
                                          baseline / 1000, 1.3, "us");
  }
  ::close(sink);
  return allMet ? 0 : 1;
}
