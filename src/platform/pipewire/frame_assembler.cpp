#include "platform/pipewire/frame_assembler.h"

#include "platform/stream_outputs.h"

namespace pelorin::platform::pipewire {

using render::PixelRect;

Error pipeWireError(std::string message, std::int64_t code) { return Error{"PipeWire", code, std::move(message)}; }

FrameAssembler::FrameAssembler(const StreamConfiguration& configuration, const Rect& monitorFrame)
    : configuration_(configuration), monitorFrame_(monitorFrame) {}

double FrameAssembler::pixelsPerPoint() const {
  // A scaled monitor sends more pixels than it has points.
  return monitorFrame_.width > 0 ? width_ / monitorFrame_.width : 1.0;
}

Result<void> FrameAssembler::layOut(const StreamConfiguration& c) {
  if (c.pixelFormat != pixelFormat420v) return pipeWireError("only the 420v pixel format is available");
  if (c.queueDepth < 1) return pipeWireError("the queue depth must be at least 1");
  if (width_ == 0) return {};
  StreamConfiguration inPixels = c;
  if (c.sourceRect) {
    const double s = pixelsPerPoint();
    inPixels.sourceRect = Rect{c.sourceRect->x * s, c.sourceRect->y * s, c.sourceRect->width * s,
                               c.sourceRect->height * s};
  }
  Result<render::FrameLayout> layout = render::computeLayout(width_, height_, inPixels);
  if (!layout) return layout.error();
  if (!pool_ || pool_->width() != layout->frameWidth || pool_->height() != layout->frameHeight ||
      configuration_.queueDepth != c.queueDepth) {
    pool_ = NV12BufferPool::create(layout->frameWidth, layout->frameHeight, static_cast<std::size_t>(c.queueDepth));
  }
  layout_ = *layout;
  return {};
}

Result<void> FrameAssembler::configure(const StreamConfiguration& configuration) {
  if (Result<void> laidOut = layOut(configuration); !laidOut) return laidOut;
  configuration_ = configuration;
  requested_ = true;
  return {};
}

Result<void> FrameAssembler::receive(const ReceivedBuffer& buffer) {
  const render::BgrxView& picture = buffer.picture;
  bool touched = buffer.damage.empty();
  picture_ = picture;
  if (picture.width != width_ || picture.height != height_) {
    width_ = picture.width;
    height_ = picture.height;
    if (Result<void> laidOut = layOut(configuration_); !laidOut) return laidOut;
    touched = true;
  }
  // A change outside a crop is no change of the frame.
  for (const PixelRect& damaged : buffer.damage) touched = touched || render::intersects(damaged, layout_.source);
  if (touched) {
    changed_ = true;
    changedSeconds_ = buffer.arrivalSeconds;
  }
  return {};
}

std::optional<SampleBuffer> FrameAssembler::tick(double nowSeconds) {
  if (!picture_.pixels || (!changed_ && !requested_)) return idleSample(nowSeconds);
  PixelBufferRef frame = pool_->makeBuffer();
  if (!frame) return std::nullopt;
  const render::BgrxView source{picture_.pixels + static_cast<std::size_t>(layout_.source.y) * picture_.bytesPerRow +
                                    static_cast<std::size_t>(layout_.source.x) * 4,
                                picture_.bytesPerRow, layout_.source.width, layout_.source.height};
  if (!render::renderFrame(source, layout_, *frame, scratch_)) return std::nullopt;
  SampleBuffer sample;
  sample.imageBuffer = std::move(frame);
  // A new picture keeps the time it arrived; a repeated one is shown now.
  sample.presentationSeconds = changed_ ? changedSeconds_ : nowSeconds;
  sample.attachments = render::completeAttachments(layout_, pixelsPerPoint());
  changed_ = false;
  requested_ = false;
  return sample;
}

}  // namespace pelorin::platform::pipewire
