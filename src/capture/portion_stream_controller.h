#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "base/error.h"
#include "base/geometry.h"
#include "base/serial_queue.h"
#include "base/thread_annotations.h"
#include "capture/portion_updates.h"
#include "media/stream_settings.h"
#include "platform/screen_capture.h"

namespace pelorin::media {
class ScreenOutput;
}

namespace pelorin::capture {

// A running stream as the controller sees it: a reconfiguration whose completion comes on a thread
// of the stream's choosing, with the error or none, and the picture it passes on, which can be
// withheld while the frame moves.
class PortionStreamUpdating {
 public:
  using Completion = std::function<void(std::optional<Error>)>;
  virtual ~PortionStreamUpdating() = default;
  virtual void updateConfiguration(const platform::StreamConfiguration& configuration, Completion completion) = 0;
  // Withholds every frame captured from now on.
  virtual void holdPicture() = 0;
  // Passes on the frames captured after every reconfiguration answered so far; `passed` runs, on a
  // thread of the stream's, once the first of them arrived. With `keyframe` that one is a key frame
  // if the hold withheld anything.
  virtual void releasePicture(bool keyframe, std::function<void()> passed) = 0;
};

// Hands a task to the main thread.
using MainThreadPost = std::function<void(std::function<void()>)>;

// Follows the border frame's drags in steps, so that its band never shows in the picture: a step
// withholds the picture, places the frame at the portion and reconfigures the stream to it, one
// step at a time; the picture comes back once the stream answered, and during a drag the next
// step waits for a frame of this one to pass. A failed step puts the frame back where the capture
// is. Lives on the main thread; completions come back there through `toMain`.
class PortionStreamController : public std::enable_shared_from_this<PortionStreamController> {
 public:
  struct Settings {
    Rect screenFrame;  // screen space; its size bounds every portion
    Rect rect;         // the portion the stream started with
    media::StreamSettings stream;
  };

  // `placeFrame` puts the border frame around a portion, and returns once the window system shows
  // it there.
  static std::shared_ptr<PortionStreamController> create(std::shared_ptr<PortionStreamUpdating> stream,
                                                         const Settings& settings,
                                                         std::function<void(const Rect&)> placeFrame,
                                                         MainThreadPost toMain);

  // The user dragged the frame to a portion (display space); `ended` with the mouse released.
  void move(const Rect& portion, bool ended = true);
  const PortionUpdates& updates() const { return updates_; }

 private:
  PortionStreamController(std::shared_ptr<PortionStreamUpdating> stream, const Settings& settings,
                          std::function<void(const Rect&)> placeFrame, MainThreadPost toMain);
  bool acceptable(const Rect& portion) const;
  void step(const Rect& portion);
  void apply(const Rect& portion);
  void answered(bool success);
  void advance();
  void finish();

  const std::shared_ptr<PortionStreamUpdating> stream_;
  const Settings settings_;
  const std::function<void(const Rect&)> placeFrame_;
  const MainThreadPost toMain_;
  PortionUpdates updates_;
  bool dragging_ = false;
  bool stepped_ = false;        // the picture was withheld during this drag
  bool resyncing_ = false;      // a failed step is being undone through the stream
  bool awaitingFrame_ = false;  // the step is answered; the next one waits for a frame of it
  std::uint64_t step_ = 0;      // tells a late frame of an earlier step apart
};

// The capture stream behind the controller: each reconfiguration runs on a queue of its own, so
// the main thread never waits for the display server. The picture is released through the
// stream's sample queue, behind every frame captured before, with a fresh frame asked for, so that
// the new portion shows at once even on a still screen. Main thread only.
class LivePortionStream final : public PortionStreamUpdating {
 public:
  LivePortionStream(std::weak_ptr<platform::CaptureStream> stream, std::weak_ptr<media::ScreenOutput> output,
                    std::weak_ptr<SerialQueue> sampleQueue);
  void updateConfiguration(const platform::StreamConfiguration& configuration, Completion completion) override;
  void holdPicture() override;
  void releasePicture(bool keyframe, std::function<void()> passed) override;
  // Waits for a reconfiguration under way; later ones fail without touching the stream.
  void close();

 private:
  const std::weak_ptr<platform::CaptureStream> stream_;
  const std::weak_ptr<media::ScreenOutput> output_;
  const std::weak_ptr<SerialQueue> sampleQueue_;
  std::uint64_t hold_ = 0;  // the output's hold of the last holdPicture
  Mutex mutex_;
  bool closed_ GUARDED_BY(mutex_) = false;
  SerialQueue queue_{"pelorin.portion"};
};

}  // namespace pelorin::capture
