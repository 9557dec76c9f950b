#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "base/error.h"
#include "base/geometry.h"
#include "base/serial_queue.h"
#include "platform/screen_capture.h"
#include "portion/portion_updates.h"

namespace pelorin::portion {

// A running stream as the controller sees it: a reconfiguration whose completion comes on a thread
// of the stream's choosing, with the error or none.
class PortionStreamUpdating {
 public:
  using Completion = std::function<void(std::optional<Error>)>;
  virtual ~PortionStreamUpdating() = default;
  virtual void updateConfiguration(const platform::StreamConfiguration& configuration, Completion completion) = 0;
};

// Hands a task to the main thread.
using MainThreadPost = std::function<void(std::function<void()>)>;

// Follows the border frame: acceptable portions go to the stream, one at a time, the latest
// queued; a rejected or failed change moves the frame back to where the capture is. Lives on the
// main thread; completions come back there through `toMain`.
class PortionStreamController : public std::enable_shared_from_this<PortionStreamController> {
 public:
  struct Settings {
    Rect screenFrame;  // screen space; its size bounds every portion
    Rect rect;         // the portion the stream started with
    int outputWidth = 0;
    int outputHeight = 0;
    int fps = 30;
  };
  // Told true when the frame has moved ahead of what the stream captures (the band may then lie
  // inside the captured area), false once the stream shows the frame's portion again.
  using LagHandler = std::function<void(bool lagging)>;

  static std::shared_ptr<PortionStreamController> create(std::shared_ptr<PortionStreamUpdating> stream,
                                                         const Settings& settings,
                                                         std::function<void(const Rect&)> restoreFrame,
                                                         MainThreadPost toMain, LagHandler lag = nullptr);

  // A portion the user asked for (display space).
  void move(const Rect& portion);
  const PortionUpdates& updates() const { return updates_; }

 private:
  PortionStreamController(std::shared_ptr<PortionStreamUpdating> stream, const Settings& settings,
                          std::function<void(const Rect&)> restoreFrame, MainThreadPost toMain, LagHandler lag);
  bool acceptable(const Rect& portion) const;
  void apply(const Rect& portion);
  void answered(bool success);
  void caughtUpIfIdle();

  const std::shared_ptr<PortionStreamUpdating> stream_;
  const Settings settings_;
  const std::function<void(const Rect&)> restoreFrame_;
  const MainThreadPost toMain_;
  const LagHandler lag_;
  PortionUpdates updates_;
};

// The capture stream behind the controller: each reconfiguration runs on a queue of its own, so
// the main thread never waits for the display server, then asks for a fresh frame so that the new
// portion shows at once even on a still screen.
class LivePortionStream final : public PortionStreamUpdating {
 public:
  explicit LivePortionStream(std::weak_ptr<platform::CaptureStream> stream);
  void updateConfiguration(const platform::StreamConfiguration& configuration, Completion completion) override;
  // Waits for a reconfiguration under way; later ones fail without touching the stream.
  void close();

 private:
  const std::weak_ptr<platform::CaptureStream> stream_;
  std::mutex mutex_;
  bool closed_ = false;  // guarded by mutex_
  SerialQueue queue_{"pelorin.portion.update"};
};

}  // namespace pelorin::portion
