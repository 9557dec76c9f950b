#pragma once

#include <memory>

#include "media/fake_compression.h"
#include "media/hardware_encoder.h"
#include "support/process.h"
#include "support/temp_file.h"

namespace pelorin::test {

// A HardwareEncoder on a scripted session, writing its records and log lines to captured files.
struct EncoderHarness {
  explicit EncoderHarness(int width = 16, int height = 16, FakeScript script = {}) : factory(script) {
    settings.stream.width = width;
    settings.stream.height = height;
    settings.outputFd = out.fd();
    settings.errorFd = err.fd();
  }
  Result<std::unique_ptr<media::HardwareEncoder>> create() { return media::HardwareEncoder::create(factory, settings); }
  std::unique_ptr<media::HardwareEncoder> makeEncoder() { return create().value(); }
  std::vector<std::string> errLines() const { return splitLines(err.contents()); }

  FakeFactory factory;
  CapturedFd out, err;
  media::EncoderSettings settings;
};

// The capture time in the header of the record at `offset` of a frame stream.
inline std::uint64_t captureTimeAt(const std::string& stream, std::size_t offset = 0) {
  std::uint64_t time = 0;
  for (int b = 7; b >= 0; --b) time = time << 8 | static_cast<std::uint8_t>(stream.at(offset + 12 + b));
  return time;
}

}  // namespace pelorin::test
