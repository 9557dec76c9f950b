#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>

#include "base/thread_annotations.h"
#include "base/wakeup.h"
#include "media/hardware_encoder.h"
#include "media/screen_output.h"

namespace pelorin::capture {

// One control line from the host.
struct ControlCommand {
  enum class Kind { keyframe, pause, resume, crop };
  Kind kind = Kind::keyframe;
  std::int64_t width = 0;  // crop only
  std::int64_t height = 0;

  static ControlCommand crop(std::int64_t w, std::int64_t h) { return {Kind::crop, w, h}; }
  friend bool operator==(const ControlCommand&, const ControlCommand&) = default;
};

// A command, or nothing for any line that is not exactly one (the line without its ending).
std::optional<ControlCommand> parseControlLine(std::string_view line);

using CropHandler = std::function<void(std::int64_t width, std::int64_t height)>;

// The thread that reads control lines from the host and applies them, until its input ends or
// its owner ends it: a run that finishes first wakes it from its wait and joins it, though the
// host may keep the input open.
// Closing the reader (or destroying it) waits for a command being applied and makes later lines
// touch nothing of the run it was started for. Commands are applied outside any lock of its own.
class ControlReader {
 public:
  ~ControlReader();
  // From now on lines have no effect; returns once no command is being applied.
  void close();
  // Waits for the input to end and the thread with it.
  void join();

 private:
  // Guards the run's objects against lines that come after the run.
  class Gate {
   public:
    bool enter();
    void leave();
    void close();

   private:
    Mutex mutex_;
    CondVar left_;
    bool open_ GUARDED_BY(mutex_) = true;
    int inside_ GUARDED_BY(mutex_) = 0;  // commands being applied
  };

  friend std::unique_ptr<ControlReader> readControl(int, int, media::HardwareEncoder&, media::ScreenOutput*,
                                                    CropHandler, std::function<void()>);
  Gate gate_;
  Wakeup stop_;
  std::thread thread_;
};

// Starts reading control lines from inputFd. Pause lines are written to errorFd.
std::unique_ptr<ControlReader> readControl(int inputFd, int errorFd, media::HardwareEncoder& encoder,
                                           media::ScreenOutput* output, CropHandler crop = nullptr,
                                           std::function<void()> onEOF = nullptr);

// The single-slot hand-off of the newest crop size from the control reader to the capture.
class PendingCrop {
 public:
  void set(std::int64_t width, std::int64_t height);
  std::optional<std::pair<std::int64_t, std::int64_t>> take();

 private:
  Mutex lock_;
  std::optional<std::pair<std::int64_t, std::int64_t>> size_ GUARDED_BY(lock_);
};

}  // namespace pelorin::capture
