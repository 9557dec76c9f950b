#pragma once

#include <memory>

#include "media/fake_compression.h"
#include "media/hardware_encoder.h"
#include "support/temp_file.h"

namespace pelorin::test {

// A HardwareEncoder on a scripted session, writing its records and log lines to captured files.
struct EncoderHarness {
  explicit EncoderHarness(int width = 16, int height = 16, FakeScript script = {}) : factory(script) {
    settings.width = width;
    settings.height = height;
    settings.outputFd = out.fd();
    settings.errorFd = err.fd();
  }
  std::unique_ptr<media::HardwareEncoder> makeEncoder() { return media::HardwareEncoder::create(factory, settings).value(); }

  FakeFactory factory;
  CapturedFd out, err;
  media::EncoderSettings settings;
};

}  // namespace pelorin::test
