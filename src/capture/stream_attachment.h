#pragma once

#include <memory>
#include <string>

#include "base/error.h"
#include "base/serial_queue.h"
#include "media/screen_output.h"
#include "platform/screen_capture.h"

namespace pelorin::capture {

// A capture stream whose samples reach their output on a serial queue of their own, the output
// able to ask the stream for a fresh frame.
struct AttachedStream {
  std::shared_ptr<platform::CaptureStream> stream;
  std::shared_ptr<SerialQueue> queue;
};

// Makes the stream of `filter` and attaches `output` to it on a new queue named `queueLabel`.
Result<AttachedStream> attachStream(platform::ScreenCaptureService& capture, const platform::ContentFilter& filter,
                                    const platform::StreamConfiguration& configuration,
                                    platform::StreamDelegate* delegate,
                                    const std::shared_ptr<media::ScreenOutput>& output,
                                    const std::string& queueLabel = "pelorin.capture");

}  // namespace pelorin::capture
