#include "encoder/capture_modes.h"

#include <memory>

#include "base/fd_output.h"
#include "capture/capture_request.h"
#include "capture/display_capture.h"
#include "capture/portion_capture.h"
#include "capture/window_capture.h"
#include "media/capture_lines.h"
#include "media/hardware_encoder.h"
#include "media/synthetic_source.h"
#include "sources/source_list.h"

namespace pelorin::encoder {
namespace {

Error notAvailable(const std::string& what) {
  return Error{"Pelorin", -1, what + " is not available in this build"};
}

Error outputClosed() { return Error{"Pelorin", -1, "standard output is closed"}; }

capture::CaptureEnvironment captureEnvironment(const EncoderServices& services) {
  return {.access = services.captureAccess, .capture = services.screenCapture, .programPath = services.programPath,
          .backendName = services.backendName, .inputFd = services.inputFd, .errorFd = services.errorFd};
}

Result<std::unique_ptr<media::HardwareEncoder>> makeEncoder(const Arguments& arguments,
                                                           const EncoderServices& services) {
  if (!services.compression) return notAvailable("video encoding");
  // Checked before the encoder exists: a stream with nowhere to go is not started.
  if (services.outputClosed) return outputClosed();
  return media::HardwareEncoder::create(*services.compression,
                                        {arguments.run.stream, services.outputFd, services.errorFd});
}

}  // namespace

Result<void> runSingleWordMode(const std::string& mode, EncoderServices& services) {
  // The selection runs on the windows when there are any; without a screen it cannot start.
  if (mode != "--list-sources") return Error{"Pelorin", -1, "display_not_found"};
  if (services.outputClosed) return outputClosed();
  if (!services.screenCapture || !services.imageEncoding) return notAvailable("source listing");
  return sources::listSources({services.screenCapture, services.imageEncoding, services.processID, services.outputFd});
}

Result<void> runPortionMode(const Arguments& arguments, EncoderServices& services) {
  auto encoder = makeEncoder(arguments, services);
  if (!encoder) return encoder.error();
  return capture::runPortion(arguments.run, **encoder, captureEnvironment(services),
                             services.showPortionFrame);
}

Result<void> runCaptureMode(const Arguments& arguments, EncoderServices& services) {
  if (arguments.source == Source::portion) return runPortionMode(arguments, services);
  auto encoder = makeEncoder(arguments, services);
  if (!encoder) return encoder.error();
  const capture::CaptureRequest& run = arguments.run;
  if (arguments.source == Source::synthetic) {
    writeLine(services.errorFd, media::captureStartLine("synthetic", run.stream));
    return media::runSynthetic(run.stream.frameRate, run.durationSeconds, **encoder, services.errorFd);
  }
  if (arguments.source == Source::screen) return capture::runScreen(run, **encoder, captureEnvironment(services));
  if (services.makeWindowServer) {
    Result<std::unique_ptr<platform::WindowServer>> windowServer = services.makeWindowServer();
    if (!windowServer) return windowServer.error();
    capture::CaptureEnvironment environment = captureEnvironment(services);
    environment.windowServer = windowServer->get();
    return capture::runWindow(run, **encoder, environment);
  }
  return notAvailable("window capture");
}

}  // namespace pelorin::encoder
