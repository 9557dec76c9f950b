#pragma once

// A capture stream of X11 content (a monitor, one window, a monitor showing only given windows).
// Free of X11 headers so it can be named anywhere.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/screen_capture.h"

namespace pelorin::platform::x11 {

struct X11CaptureOptions {
  std::string displayName;       // empty: the DISPLAY environment variable
  bool useSharedMemory = true;   // false: read the screen with plain XGetImage
  bool useDamage = true;         // false: compare a hash of the picture to spot idle frames
  // Development: display damage after the first report is dropped, as some drivers report too
  // little; only the whole picture's periodic check then finds changes.
  bool dropDamageReports = false;
};

// Counters of one stream since it was made. Times are sums, in seconds.
struct X11StreamStats {
  std::uint64_t framesGrabbed = 0;    // reads of the screen or a window
  std::uint64_t framesDelivered = 0;  // Complete samples handed to the outputs
  std::uint64_t idleFrames = 0;       // Ticks with nothing new (idle samples go out less often)
  std::uint64_t framesSkipped = 0;    // ticks without a free buffer (queueDepth reached)
  std::uint64_t grabFailures = 0;
  double grabSeconds = 0;     // in screen reads
  double convertSeconds = 0;  // cursor, scaling and NV12 conversion
  bool sharedMemory = false;  // reads go over MIT-SHM
  bool damage = false;        // idle frames come from XDamage
};

class X11CaptureStream final : public CaptureStream {
 public:
  // X11ScreenCaptureService::makeStream checks the filter and configuration first.
  X11CaptureStream(X11CaptureOptions options, ContentFilter filter, StreamConfiguration configuration,
                   StreamDelegate* delegate);
  ~X11CaptureStream() override;
  X11CaptureStream(const X11CaptureStream&) = delete;
  X11CaptureStream& operator=(const X11CaptureStream&) = delete;

  Result<void> addStreamOutput(std::shared_ptr<StreamOutput> output, StreamOutputType type,
                               std::shared_ptr<SerialQueue> queue) override;
  Result<void> startCapture() override;
  Result<void> stopCapture() override;
  Result<void> updateConfiguration(const StreamConfiguration& configuration) override;
  Result<void> updateContentFilter(const ContentFilter& filter) override;
  void requestFrame() override;

  X11StreamStats stats() const;
  std::uint64_t framesGrabbed() const { return stats().framesGrabbed; }

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// Checks what can be checked without the display: pixel format, queue depth, sizes.
Result<void> validateConfiguration(const StreamConfiguration& configuration);

}  // namespace pelorin::platform::x11
