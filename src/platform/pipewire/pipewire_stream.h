#pragma once

// Capture streams over a PipeWire node handed out by the ScreenCast portal. Free of PipeWire
// headers so the portal backend can name it.

#include <chrono>
#include <cstdint>
#include <memory>

#include "base/error.h"
#include "base/geometry.h"
#include "platform/screen_capture.h"

namespace pelorin::platform::pipewire {

struct PipeWireSource {
  int remoteFd = -1;            // from OpenPipeWireRemote; the stream takes ownership and closes it
  std::uint32_t nodeId = 0;     // the portal stream's node
  Rect monitorFrame;            // the monitor's logical frame in global points (for sourceRect)
  std::shared_ptr<void> keepAlive;  // the portal session; released when the stream is destroyed
  bool window = false;          // a window's node, whose end means the window was closed
};

Result<std::unique_ptr<CaptureStream>> makePipeWireStream(PipeWireSource source, const ContentFilter& filter,
                                                          const StreamConfiguration& configuration,
                                                          StreamDelegate* delegate);

// First picture within `timeout`, scaled to the configuration's size; an error when none came.
Result<Image> grabPipeWireImage(PipeWireSource source, const ScreenshotConfiguration& configuration,
                                std::chrono::milliseconds timeout);

}  // namespace pelorin::platform::pipewire
