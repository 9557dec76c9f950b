#include "platform/pipewire/frame_assembler.h"

#include <utility>

#include "platform/render/damage_region.h"
#include "platform/stream_outputs.h"

namespace pelorin::platform::pipewire {
namespace {

using render::PixelRect;

}  // namespace

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
  canvas_.reset(layout_);
  redrawWhole_ = true;
  return {};
}

Result<void> FrameAssembler::configure(const StreamConfiguration& configuration) {
  if (Result<void> laidOut = layOut(configuration); !laidOut) return laidOut;
  configuration_ = configuration;
  requested_ = true;
  return {};
}

void FrameAssembler::forgetPicture() {
  picture_.pixels = nullptr;
  // The next picture may come in a buffer of a new set, after a renegotiation: drawn whole.
  redrawWhole_ = true;
}

Result<void> FrameAssembler::receive(const ReceivedBuffer& buffer) {
  const render::BgrxView& picture = buffer.picture;
  bool touched = buffer.damage.empty();
  if (touched) redrawWhole_ = true;
  picture_ = picture;
  if (picture.width != width_ || picture.height != height_) {
    width_ = picture.width;
    height_ = picture.height;
    if (Result<void> laidOut = layOut(configuration_); !laidOut) return laidOut;
    touched = true;
  }
  // A change outside a crop is no change of the frame.
  const PixelRect& s = layout_.source;
  for (const PixelRect& damaged : buffer.damage) {
    const PixelRect inSource = render::intersect({damaged.x - s.x, damaged.y - s.y, damaged.width, damaged.height},
                                                 {0, 0, s.width, s.height});
    if (inSource.empty()) continue;
    damaged_.push_back(inSource);
    touched = true;
  }
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
  if (requested_ && nowSeconds - wholeSeconds_ >= render::longestDamageTrustSeconds) redrawWhole_ = true;
  if (!draw(nowSeconds) || !canvas_.copyTo(*frame)) {
    redrawWhole_ = true;
    return std::nullopt;
  }
  SampleBuffer sample;
  sample.imageBuffer = std::move(frame);
  // A new picture keeps the time it arrived; a repeated one is shown now.
  sample.presentationSeconds = changed_ ? changedSeconds_ : nowSeconds;
  sample.attachments = render::completeAttachments(layout_, pixelsPerPoint());
  changed_ = false;
  requested_ = false;
  return sample;
}

render::BgrxView FrameAssembler::source() const {
  const PixelRect& s = layout_.source;
  return {picture_.pixels + static_cast<std::size_t>(s.y) * picture_.bytesPerRow + static_cast<std::size_t>(s.x) * 4,
          picture_.bytesPerRow, s.width, s.height};
}

// Draws into the canvas what changed since the last frame: the damaged boxes, or all of it.
bool FrameAssembler::draw(double nowSeconds) {
  const std::vector<PixelRect> boxes = render::mergeBoxes(std::exchange(damaged_, {}), render::mostDamageBoxes);
  if (redrawWhole_ || render::coversMostOf(boxes, layout_.source)) {
    redrawWhole_ = false;
    wholeSeconds_ = nowSeconds;
    return canvas_.drawWhole(source());
  }
  for (const PixelRect& box : boxes) {
    const PixelRect area = render::reachedPixels(layout_, box);
    if (!area.empty() && !canvas_.drawPart(source(), area)) return false;
  }
  return true;
}

}  // namespace pelorin::platform::pipewire
