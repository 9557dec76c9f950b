#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/error.h"
#include "base/serial_queue.h"
#include "capture/capture_environment.h"
#include "capture/capture_request.h"
#include "capture/control_channel.h"
#include "media/capture_run.h"
#include "media/hardware_encoder.h"
#include "media/screen_output.h"
#include "platform/screen_capture.h"

namespace pelorin::capture {

// A run's stream once it can be asked for frames, as a capture mode may reach it.
struct RunningStream {
  std::shared_ptr<platform::CaptureStream> stream{};
  std::shared_ptr<media::ScreenOutput> output{};
  std::shared_ptr<SerialQueue> queue{};
  std::shared_ptr<media::RunStop> stop{};
};

// What a capture mode adds to the run every mode shares.
struct StreamRun {
  platform::ContentFilter filter{};
  platform::StreamConfiguration configuration{};
  std::string captureName{};  // in the "capture_start" line
  std::string stopReason{};   // put before the error of a stream that stops on its own; empty: the error alone
  // The start "capture_clock_anchor" line before the stream exists or right before "capture_start";
  // the end one follows the stop.
  enum class ClockLines { none, beforeStream, atStart } clockLines = ClockLines::none;
  CropHandler crop{};  // CROP lines; none: ignored
  std::function<void()> endOfInput{};  // none: the control reader just ends
  // Runs once control lines are read, before the "capture_start" line; a failure ends the run.
  std::function<Result<void>(const RunningStream&)> started = [](const RunningStream&) { return Result<void>(); };
  // Ends what changes the stream: before the stream stops, and again when the run lets it go.
  std::function<void()> stopChanges = [] {};
};

// The permission check every mode makes first; `ask` asks the user when it is missing.
Result<void> checkPermission(const CaptureEnvironment& env, bool ask = false);

// The steps every capture mode shares: the output on the start clock anchor, the stream attached to
// it, the control reader, the "capture_start" line, then the run loop until the request's duration
// ends, and the release of all of it.
Result<void> runStream(const CaptureRequest& request, media::HardwareEncoder& encoder,
                       const CaptureEnvironment& env, const StreamRun& run);

}  // namespace pelorin::capture
