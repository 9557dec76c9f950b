#pragma once

#include <string>

#include "base/error.h"
#include "capture/capture_request.h"
#include "media/hardware_encoder.h"
#include "platform/capture_access.h"
#include "platform/screen_capture.h"

namespace pelorin::capture {

// What a capture run needs of its process.
struct CaptureEnvironment {
  platform::CaptureAccess* access = nullptr;
  platform::ScreenCaptureService* capture = nullptr;
  std::string programPath;  // reported when the permission is missing
  std::string backendName = "x11";
  int inputFd = 0;  // control channel
  int errorFd = 2;
};

// Captures one whole display for the request's duration (or until a termination signal) into the
// encoder, honouring control lines, then finishes the encoder.
Result<void> runScreen(const CaptureRequest& request, media::HardwareEncoder& encoder,
                       const CaptureEnvironment& environment);

Error captureError(std::string message);

}  // namespace pelorin::capture
