#pragma once

#include "base/error.h"
#include "capture/capture_environment.h"
#include "capture/capture_request.h"
#include "media/hardware_encoder.h"

namespace pelorin::capture {

// The request's display, or the first one when it names none.
Result<platform::ShareableDisplay> chooseDisplay(const CaptureRequest& request, platform::ScreenCaptureService& capture);

// Captures one whole display for the request's duration (or until a termination signal) into the
// encoder, honouring control lines, then finishes the encoder.
Result<void> runScreen(const CaptureRequest& request, media::HardwareEncoder& encoder,
                       const CaptureEnvironment& environment);

}  // namespace pelorin::capture
