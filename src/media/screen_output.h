#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "base/thread_annotations.h"
#include "media/clock.h"
#include "media/hardware_encoder.h"
#include "platform/screen_capture.h"

namespace pelorin::media {

// The capture stream's sample receiver: drops samples without a new picture, paused or held
// frames and short runs of black frames, logs geometry changes, and hands the rest to the
// encoder stamped with their Unix capture time.
class ScreenOutput final : public platform::StreamOutput {
 public:
  using UptimeClock = std::function<std::uint64_t()>;

  ScreenOutput(HardwareEncoder& encoder, ClockAnchor clockAnchor, int errorFd = 2,
               UptimeClock uptime = monotonicNanosecondsNow);

  void didOutputSample(const platform::SampleBuffer& sample, platform::StreamOutputType type) override;

  // How to ask the stream for a fresh frame when the picture has not changed (a key frame must
  // show the current picture, not wait for the next change); set once the stream exists.
  void setFrameRequester(std::function<void()> requester);
  // The next frame is a key frame, and one comes even if nothing on screen changes.
  void requestKeyframe();

  void setPaused(bool paused);
  bool paused() const;
  // Withholds frames for the next `seconds`; returns the number of this hold.
  std::uint64_t hold(double seconds);
  // Ends a hold; the first frame after a hold is a key frame.
  void release();
  // Ends hold number `hold` unless a later one began: asks for a fresh frame, but for a key frame
  // only with `keyframe` and when a hold withheld a frame since the last such one; `passed` runs
  // (on the capture queue) when the first frame no longer held arrives.
  void releaseHold(std::uint64_t hold, bool keyframe, std::function<void()> passed);
  // (capture drops, highest number of overlapping callbacks).
  std::pair<std::int64_t, std::int64_t> stats() const;

 private:
  bool admit(const platform::SampleBuffer& sample, platform::StreamOutputType type);
  bool passesStatus(const platform::SampleAttachments* attachments);
  void logGeometry(const platform::SampleAttachments* attachments);
  bool withholdBlack(platform::PixelBuffer& image);
  void idleSample();
  void requestFrame();

  HardwareEncoder& encoder_;
  const ClockAnchor clockAnchor_;
  const int errorFd_;
  const UptimeClock uptime_;

  // Guards what other threads change or read while frames flow: pause, hold, the counters and the
  // frame requester.
  mutable Mutex flowLock_;
  bool paused_ GUARDED_BY(flowLock_) = false;
  std::int64_t captureDrops_ GUARDED_BY(flowLock_) = 0;
  std::int64_t activeCallbacks_ GUARDED_BY(flowLock_) = 0;
  std::int64_t maxActiveCallbacks_ GUARDED_BY(flowLock_) = 0;
  std::uint64_t heldUntil_ GUARDED_BY(flowLock_) = 0;
  std::uint64_t holds_ GUARDED_BY(flowLock_) = 0;
  std::int64_t withheldSinceKeyframe_ GUARDED_BY(flowLock_) = 0;
  std::function<void()> onPassed_ GUARDED_BY(flowLock_);
  std::function<void()> frameRequester_ GUARDED_BY(flowLock_);

  // Touched only on the capture queue.
  std::string lastFrameInfo_;
  std::uint64_t blackSince_ = 0;
  bool blackWithheld_ = false;  // the current black picture has not been encoded yet
};

// Whether every one of 16 x 16 evenly spread luma samples is at most 20.
bool isBlackFrame(platform::PixelBuffer& image);

// The geometry text of a sample: "<content rect> scale=<factor> content_scale=<scale>", one line.
std::string frameGeometryText(const platform::SampleAttachments& attachments);

}  // namespace pelorin::media
