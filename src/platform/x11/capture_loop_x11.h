#pragma once

// What one X11 capture stream's thread alone owns and does: the X connection, the picture source,
// the buffers, and each tick's read, render and delivery. Made on that thread and never shared;
// the stream reaches it only through its own mailbox. Internal to the X11 backend.

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <variant>

#include "base/thread_annotations.h"
#include "platform/render/frame_canvas.h"
#include "platform/stream_outputs.h"
#include "platform/x11/capture_stream_x11.h"
#include "platform/x11/cursor_watch.h"
#include "platform/x11/failure_spell.h"
#include "platform/x11/picture_source.h"

namespace pelorin::platform::x11 {

using StreamChange = std::variant<StreamConfiguration, ContentFilter>;

// A stream's counters: written by its thread, read from any.
class StreamCounters {
 public:
  X11StreamStats get() const;
  void count(std::uint64_t X11StreamStats::*counter);
  void opened(bool sharedMemory, bool damage);
  void grabbed(double seconds);
  void delivered(double convertSeconds);

 private:
  mutable Mutex mutex_;
  X11StreamStats stats_ GUARDED_BY(mutex_);
};

// What the stream shares with its loop: set up before the thread starts, outliving it.
struct LoopContext {
  const X11CaptureOptions& options;
  const StreamOutputs& outputs;
  StreamCounters& counters;
  std::atomic<bool>& frameRequested;  // taken by the next tick
};

class CaptureLoop {
 public:
  using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC with libstdc++ on Linux

  explicit CaptureLoop(LoopContext context);
  ~CaptureLoop();
  CaptureLoop(const CaptureLoop&) = delete;
  CaptureLoop& operator=(const CaptureLoop&) = delete;

  // Connects and opens the content; fails when it is not there.
  Result<void> open(const ContentFilter& filter, const StreamConfiguration& configuration);
  // Gives the content back while the connection still works; the loop is done.
  void close();
  // A new configuration, or another content; a content that cannot be shown leaves the previous
  // one (or, when it cannot come back either, ends the stream at the next tick).
  Result<void> apply(const StreamChange& change);
  // One frame interval: find out whether a frame is due, read and render it, deliver it. An error
  // ends the stream.
  std::optional<Error> tick();
  Clock::duration interval() const;

 private:
  struct Change;
  struct Grab;

  // The captured part of the content in root coordinates.
  PixelRect rootArea() const;
  Result<void> configure(const StreamConfiguration& c);
  Result<void> switchSource(const ContentFilter& filter);
  void pumpEvents();
  std::optional<Error> checkContent();
  void repeatOrIdle(const Change& change);
  Change detectChange();
  std::optional<Error> healMissedDamage();
  bool keptIsWhole() const;
  std::vector<PixelRect> boxesToDraw(const Change& change) const;
  Result<Grab> read();
  Result<Grab> readAgain(const std::vector<PixelRect>& boxes);
  bool render(const Grab& grab, const Change& change, const std::vector<PixelRect>& boxes, PixelBuffer& buffer);
  void delivered(PixelBufferRef buffer, const Grab& grab, const Change& change);
  std::optional<Error> readFailed(const Error& reason);
  bool pictureChanged(const BgrxView& picture);
  SampleBuffer completeSample(PixelBufferRef buffer, const Grab& grab) const;
  void deliverIdle(bool asked = false);
  void handOff(const SampleBuffer& sample);

  const LoopContext context_;
  std::unique_ptr<XConnection> connection_;
  std::unique_ptr<CursorWatch> cursor_;
  std::unique_ptr<PictureSource> source_;
  ContentFilter filter_;  // the content shown
  ContentState content_;
  StreamConfiguration configuration_;
  FrameLayout layout_;
  std::shared_ptr<NV12BufferPool> pool_;
  // A complete frame must be delivered: the picture or the layout changed, or one was asked for.
  // It stays owed until a frame is delivered, through ticks without a free buffer or a read.
  bool frameOwed_ = true;
  // What the next delivered frame reads and draws again: everything (the picture kept is not the
  // content's any more), or the damaged parts of the source (content pixels). Kept, like a frame
  // owed, until a frame is delivered.
  bool redrawWhole_ = true;
  std::vector<PixelRect> damaged_;
  // The last frame as delivered, drawn from `kept_`: the source's last picture, without the cursor.
  render::FrameCanvas canvas_;
  std::optional<SourcePicture> kept_;
  CursorPatch cursorPatch_;
  Clock::time_point lastWholeRead_;  // or the last check of the whole picture
  std::optional<CursorPicture> shownCursor_;  // the cursor as in the last delivered frame
  // The last complete sample, delivered again when a frame is owed while nothing can be read.
  std::optional<SampleBuffer> lastComplete_;
  Clock::time_point lastHandOff_;  // of any sample to the outputs
  std::optional<std::uint64_t> lastHash_;
  FailureSpell readFailures_;
  std::optional<Error> sourceLost_;  // the source closed and none could replace it
};

}  // namespace pelorin::platform::x11
