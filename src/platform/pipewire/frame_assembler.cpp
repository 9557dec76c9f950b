#include "platform/pipewire/frame_assembler.h"

#include <cstring>

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

void FrameAssembler::copyRows(const render::BgrxView& from, const PixelRect& area) {
  const std::size_t stride = static_cast<std::size_t>(width_) * 4;
  const std::size_t bytes = static_cast<std::size_t>(area.width) * 4;
  for (int row = area.y; row < area.y + area.height; ++row) {
    std::memcpy(canvas_.data() + static_cast<std::size_t>(row) * stride + static_cast<std::size_t>(area.x) * 4,
                from.pixels + static_cast<std::size_t>(row) * from.bytesPerRow + static_cast<std::size_t>(area.x) * 4,
                bytes);
  }
}

Result<void> FrameAssembler::receive(const ReceivedBuffer& buffer) {
  const render::BgrxView& picture = buffer.picture;
  const PixelRect whole{0, 0, picture.width, picture.height};
  bool touched = false;
  if (picture.width != width_ || picture.height != height_) {
    width_ = picture.width;
    height_ = picture.height;
    canvas_.assign(static_cast<std::size_t>(width_) * height_ * 4, 0);
    if (Result<void> laidOut = layOut(configuration_); !laidOut) return laidOut;
    copyRows(picture, whole);
    touched = true;
  } else if (buffer.damage.empty()) {
    copyRows(picture, whole);
    touched = true;
  } else {
    for (const PixelRect& damaged : buffer.damage) {
      const PixelRect area = render::intersect(damaged, whole);
      if (area.empty()) continue;
      copyRows(picture, area);
      // A change outside a crop is no change of the frame.
      touched = touched || render::intersects(area, layout_.source);
    }
  }
  if (touched) {
    changed_ = true;
    changedSeconds_ = buffer.arrivalSeconds;
  }
  return {};
}

std::optional<SampleBuffer> FrameAssembler::tick(double nowSeconds) {
  if (width_ == 0 || (!changed_ && !requested_)) return idleSample(nowSeconds);
  PixelBufferRef frame = pool_->makeBuffer();
  if (!frame) return std::nullopt;
  const render::BgrxView canvas{canvas_.data(), static_cast<std::size_t>(width_) * 4, width_, height_};
  const render::BgrxView source{canvas.pixels + static_cast<std::size_t>(layout_.source.y) * canvas.bytesPerRow +
                                    static_cast<std::size_t>(layout_.source.x) * 4,
                                canvas.bytesPerRow, layout_.source.width, layout_.source.height};
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
