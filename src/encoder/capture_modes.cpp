#include "encoder/capture_modes.h"

#include <memory>

#include "base/fd_output.h"
#include "capture/capture_request.h"
#include "capture/display_capture.h"
#include "capture/window_capture.h"
#include "media/capture_lines.h"
#include "media/hardware_encoder.h"
#include "media/synthetic_source.h"
#include "portion/portion_capture.h"
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
  writeLine(services.errorFd, media::captureStartLine("synthetic", a.width, a.height, a.fps));
  return media::runSynthetic(a.fps, a.duration, encoder, services.errorFd);
}

// The parser has refused every value outside the encoder's limits, so these fit.
capture::CaptureRequest captureRequest(const Arguments& a) {
  capture::CaptureRequest r;
  r.width = static_cast<int>(a.width);
  r.height = static_cast<int>(a.height);
  r.fps = static_cast<int>(a.fps);
  r.durationSeconds = a.duration;
  r.displayID = a.displayID;
  r.windowID = a.windowID;
  r.windowTitle = a.windowTitle;
  r.contentWidth = a.contentWidth;
  r.contentHeight = a.contentHeight;
  r.portion = a.portion;
  return r;
}

Error outputClosed() { return Error{"Pelorin", -1, "standard output is closed"}; }

capture::CaptureEnvironment captureEnvironment(const EncoderServices& services) {
  capture::CaptureEnvironment env;
  env.access = services.captureAccess;
  env.capture = services.screenCapture;
  env.programPath = services.programPath;
  env.backendName = services.backendName;
  env.inputFd = services.inputFd;
  env.errorFd = services.errorFd;
  return env;
}

}  // namespace

Result<void> runSingleWordMode(const std::string& mode, EncoderServices& services) {
  // The selection runs on the windows when there are any; without a screen it cannot start.
  if (mode != "--list-sources") return Error{"Pelorin", -1, "display_not_found"};
  if (services.outputClosed) return outputClosed();
  if (!services.screenCapture || !services.imageEncoding) return notAvailable("source listing");
  return sources::listSources({services.screenCapture, services.imageEncoding, services.processID, services.outputFd});
}

namespace {

Result<std::unique_ptr<media::HardwareEncoder>> makeEncoder(const Arguments& arguments,
                                                           const EncoderServices& services) {
  if (!services.compression) return notAvailable("video encoding");
  // Checked before the encoder exists: a stream with nowhere to go is not started.
  if (services.outputClosed) return outputClosed();
  return media::HardwareEncoder::create(*services.compression, encoderSettings(arguments, services));
}

}  // namespace

Result<void> runPortionMode(const Arguments& arguments, EncoderServices& services) {
  auto encoder = makeEncoder(arguments, services);
  if (!encoder) return encoder.error();
  return portion::runPortion(captureRequest(arguments), **encoder, captureEnvironment(services),
                             services.showPortionFrame);
}

Result<void> runCaptureMode(const Arguments& arguments, EncoderServices& services, MainQueue&) {
  if (arguments.source == "portion") return runPortionMode(arguments, services);
  auto encoder = makeEncoder(arguments, services);
  if (!encoder) return encoder.error();
  if (arguments.source == "synthetic") return runSyntheticMode(arguments, services, **encoder);
  if (arguments.source == "screen") {
    return capture::runScreen(captureRequest(arguments), **encoder, captureEnvironment(services));
  }
  if (arguments.source == "window" && services.makeWindowServer) {
    Result<std::unique_ptr<platform::WindowServer>> windowServer = services.makeWindowServer();
    if (!windowServer) return windowServer.error();
    capture::CaptureEnvironment environment = captureEnvironment(services);
    environment.windowServer = windowServer->get();
    return capture::runWindow(captureRequest(arguments), **encoder, environment);
  }
  return notAvailable(arguments.source + " capture");
}

}  // namespace pelorin::encoder
