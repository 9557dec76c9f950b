#pragma once

#include <functional>
#include <memory>

#include "base/error.h"
#include "capture/capture_environment.h"
#include "capture/capture_request.h"
#include "capture/portion_stream_controller.h"
#include "media/hardware_encoder.h"
#include "platform/screen_capture.h"

namespace pelorin::capture {

// What the window side needs to put the live frame around a running portion capture.
struct PortionFrameSetup {
  platform::ShareableDisplay display;  // frame in window-system coordinates
  Rect portion;                        // display space
  media::StreamSettings streamSettings;
  std::shared_ptr<PortionStreamUpdating> stream;
  std::function<void(const Error&)> fail;  // ends the run with a failure of the window system
};

// The window side of a portion capture: shows the frame (on the main thread, waiting for it) and
// wires it to a stream controller; fails when no screen of the window system shows the display.
using PortionFrameHost = std::function<Result<void>(const PortionFrameSetup&)>;

// Captures the request's portion of its display into the encoder until the duration ends, while
// the frame shown by `frameHost` lets the user move and resize the portion live. Standard input
// reaching its end ends the process at once with status 0, between two records.
Result<void> runPortion(const CaptureRequest& request, media::HardwareEncoder& encoder,
                        const CaptureEnvironment& environment, const PortionFrameHost& frameHost);

}  // namespace pelorin::capture
