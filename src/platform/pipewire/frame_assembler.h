#pragma once

// Internal to the PipeWire backend, free of PipeWire headers: turns the buffers PipeWire sends,
// which come only when the screen changed, into one sample per tick of the stream.

#include <memory>
#include <optional>
#include <vector>

#include "base/error.h"
#include "base/geometry.h"
#include "platform/render/frame_canvas.h"
#include "platform/render/frame_render.h"
#include "platform/screen_capture.h"

namespace pelorin::platform::pipewire {

// One buffer as PipeWire handed it over: a whole picture, and the rectangles it says changed
// since the buffer before (none: all of it).
struct ReceivedBuffer {
  render::BgrxView picture;
  std::vector<render::PixelRect> damage;
  double arrivalSeconds = 0;  // CLOCK_MONOTONIC
};

Error pipeWireError(std::string message, std::int64_t code = -1);

// Draws the newest picture at each tick it changed within the captured area, and again after a
// new crop or on request while the screen stands still. Where buffers name their damage only the
// frame pixels it reaches are converted again, into the stream's own last frame; without damage,
// after a new size or layout, or when most of the picture changed, the whole of it. Its pixels are
// not copied: the caller keeps them valid until the next receive() or forgetPicture(). Not
// thread-safe: the stream calls it on its loop thread only.
class FrameAssembler {
 public:
  // `monitorFrame` is the monitor's frame in points; the source rectangle is in those points.
  FrameAssembler(const StreamConfiguration& configuration, const Rect& monitorFrame);

  // Fails when the configuration cannot be laid out on the new picture's size.
  Result<void> receive(const ReceivedBuffer& buffer);
  // The last picture's pixels are gone (PipeWire took its buffers back): nothing to draw until the
  // next one.
  void forgetPicture();
  // Before the first picture the configuration is only checked once that picture comes.
  Result<void> configure(const StreamConfiguration& configuration);
  // The next tick draws a fresh complete frame even when nothing changed.
  void requestFrame() { requested_ = true; }

  // This tick's sample: complete when the captured area changed or a frame was asked for, idle
  // when nothing changed or nothing came yet; none when every buffer is still in use (the frame
  // stays owed).
  std::optional<SampleBuffer> tick(double nowSeconds);

 private:
  Result<void> layOut(const StreamConfiguration& configuration);
  double pixelsPerPoint() const;
  render::BgrxView source() const;
  bool draw(double nowSeconds);

  StreamConfiguration configuration_;
  const Rect monitorFrame_;
  render::BgrxView picture_;  // the newest picture, the caller's memory
  int width_ = 0;             // its size, kept while it is forgotten
  int height_ = 0;
  render::FrameLayout layout_;
  std::shared_ptr<NV12BufferPool> pool_;
  render::FrameCanvas canvas_;  // the last frame drawn, from the pictures received until then
  // What the next frame draws again: everything, or the damaged parts (source pixels, relative to
  // the layout's source). Kept until a frame is drawn.
  bool redrawWhole_ = true;
  std::vector<render::PixelRect> damaged_;
  double wholeSeconds_ = 0;  // when the canvas was last drawn whole
  bool changed_ = false;    // the captured area changed since the last complete frame
  bool requested_ = false;  // a complete frame was asked for
  double changedSeconds_ = 0;
};

}  // namespace pelorin::platform::pipewire
