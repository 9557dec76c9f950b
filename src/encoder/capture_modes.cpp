#include "encoder/capture_modes.h"

#include <memory>

#include "base/fd_output.h"
#include "capture/display_capture.h"
#include "media/hardware_encoder.h"
#include "media/synthetic_source.h"
#include "sources/source_list.h"

namespace pelorin::encoder {
namespace {

Error notAvailable(const std::string& what) {
  return Error{"Pelorin", -1, what + " is not available in this build"};
}

media::EncoderSettings encoderSettings(const Arguments& a, const EncoderServices& services) {
  // The parser has already refused values outside the 32-bit range.
  media::EncoderSettings s;
  s.width = static_cast<std::int32_t>(a.width);
  s.height = static_cast<std::int32_t>(a.height);
  s.fps = static_cast<std::int32_t>(a.fps);
  s.bitrate = static_cast<std::int32_t>(a.bitrate);
  s.profile = a.profile;
  s.outputFd = services.outputFd;
  s.errorFd = services.errorFd;
  return s;
}

Result<void> runSyntheticMode(const Arguments& a, const EncoderServices& services,
                              media::HardwareEncoder& encoder) {
  writeLine(services.errorFd, "capture_start capture=synthetic width=" + std::to_string(a.width) +
                                  " height=" + std::to_string(a.height) + " fps=" + std::to_string(a.fps) +
                                  " abs_capture_time_source=capture queue_capacity=3");
  return media::runSynthetic(a.fps, a.duration, encoder);
}

capture::CaptureEnvironment captureEnvironment(const EncoderServices& services) {
  capture::CaptureEnvironment env;
  env.access = services.captureAccess;
  env.capture = services.screenCapture;
  env.programPath = services.programPath;
  env.inputFd = services.inputFd;
  env.errorFd = services.errorFd;
  return env;
}

}  // namespace

Result<void> runSingleWordMode(const std::string& mode, EncoderServices& services) {
  if (mode != "--list-sources") return notAvailable("portion selection");
  if (!services.screenCapture || !services.imageEncoding) return notAvailable("source listing");
  return sources::listSources({services.screenCapture, services.imageEncoding, services.processID, services.outputFd});
}

Result<void> runCaptureMode(const Arguments& arguments, EncoderServices& services, MainQueue&) {
  if (!services.compression) return notAvailable("video encoding");
  auto encoder = media::HardwareEncoder::create(*services.compression, encoderSettings(arguments, services));
  if (!encoder) return encoder.error();
  if (arguments.source == "synthetic") return runSyntheticMode(arguments, services, **encoder);
  if (arguments.source == "screen") return capture::runScreen(arguments, **encoder, captureEnvironment(services));
  return notAvailable(arguments.source + " capture");
}

}  // namespace pelorin::encoder
