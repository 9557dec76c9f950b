#include "media/screen_output.h"

#include <charconv>
#include <cmath>
#include <utility>

#include "base/fd_output.h"

namespace pelorin::media {
namespace {

constexpr std::uint8_t blackLumaLimit = 20;
constexpr std::uint64_t blackRunGraceNanoseconds = 500000000;

// The shortest text that reads back as the same double ("1", "0.6666666666666666").
std::string numberText(double value) {
  char buffer[32];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  return ec == std::errc() ? std::string(buffer, end) : std::string("nan");
}

// A rectangle written as a dictionary of its four values, keys sorted, its line breaks as spaces.
std::string rectText(const Rect& r) {
  return "{     Height = " + numberText(r.height) + ";     Width = " + numberText(r.width) +
         ";     X = " + numberText(r.x) + ";     Y = " + numberText(r.y) + "; }";
}

std::string optionalNumberText(const std::optional<double>& value) {
  return value ? numberText(*value) : std::string("-");
}

platform::MediaTime mediaTime(double seconds) {
  return {static_cast<std::int64_t>(std::llround(seconds * 1e9)), 1000000000};
}

}  // namespace

std::string frameGeometryText(const platform::SampleAttachments& a) {
  const std::string text = a.contentRect ? rectText(*a.contentRect) : std::string();
  return text + " scale=" + optionalNumberText(a.scaleFactor) + " content_scale=" + optionalNumberText(a.contentScale);
}

bool isBlackFrame(platform::PixelBuffer& image) {
  if (image.planeCount() < 1 || !image.lock(true)) return false;
  const std::uint8_t* base = image.planeBase(0);
  bool black = base != nullptr;
  const std::size_t width = static_cast<std::size_t>(image.planeWidth(0));
  const std::size_t height = static_cast<std::size_t>(image.planeHeight(0));
  const std::size_t stride = image.bytesPerRow(0);
  for (std::size_t j = 0; black && j < 16; ++j) {
    const std::size_t y = (2 * j + 1) * height / 32;
    for (std::size_t i = 0; i < 16; ++i) {
      const std::size_t x = (2 * i + 1) * width / 32;
      if (base[y * stride + x] > blackLumaLimit) {
        black = false;
        break;
      }
    }
  }
  image.unlock(true);
  return black;
}

ScreenOutput::ScreenOutput(HardwareEncoder& encoder, ClockAnchor clockAnchor, int errorFd, UptimeClock uptime)
    : encoder_(encoder), clockAnchor_(clockAnchor), errorFd_(errorFd), uptime_(std::move(uptime)) {}

void ScreenOutput::didOutputSample(const platform::SampleBuffer& sample, platform::StreamOutputType type) {
  {
    MutexLock lock(flowLock_);
    ++activeCallbacks_;
    maxActiveCallbacks_ = std::max(maxActiveCallbacks_, activeCallbacks_);
  }
  if (admit(sample, type)) {
    encoder_.encode(sample.imageBuffer, mediaTime(sample.presentationSeconds),
                    captureUnixNanoseconds(sample.presentationSeconds, clockAnchor_));
  }
  MutexLock lock(flowLock_);
  --activeCallbacks_;
}

namespace {

// An idle sample says nothing changed since the last frame: no picture, yet nothing was lost.
bool isIdleScreenSample(const platform::SampleBuffer& sample, platform::StreamOutputType type) {
  return type == platform::StreamOutputType::Screen && sample.valid && sample.attachments &&
         sample.attachments->status == platform::FrameStatus::Idle;
}

}  // namespace

bool ScreenOutput::admit(const platform::SampleBuffer& sample, platform::StreamOutputType type) {
  if (isIdleScreenSample(sample, type)) {
    idleSample();
    return false;
  }
  if (type != platform::StreamOutputType::Screen || !sample.valid || !sample.imageBuffer) {
    MutexLock lock(flowLock_);
    ++captureDrops_;
    return false;
  }
  // A frame no longer held passes the hold also while paused: whoever waits for it may go on.
  std::function<void()> passed;
  bool paused = false;
  {
    MutexLock lock(flowLock_);
    if (uptime_() < heldUntil_) {
      ++withheldSinceKeyframe_;
      return false;
    }
    passed = std::exchange(onPassed_, nullptr);
    paused = paused_;
  }
  if (passed) passed();
  if (paused) return false;
  const platform::SampleAttachments* attachments = sample.attachments ? &*sample.attachments : nullptr;
  if (!passesStatus(attachments)) return false;
  logGeometry(attachments);
  return !withholdBlack(*sample.imageBuffer);
}

bool ScreenOutput::passesStatus(const platform::SampleAttachments* attachments) {
  if (!attachments || !attachments->status) return true;
  const platform::FrameStatus status = *attachments->status;
  if (status == platform::FrameStatus::Complete || status == platform::FrameStatus::Started) return true;
  if (status != platform::FrameStatus::Idle) {
    writeLine(errorFd_, "capture_frame_skipped status=" + std::to_string(static_cast<int>(status)));
  }
  return false;
}

void ScreenOutput::logGeometry(const platform::SampleAttachments* attachments) {
  if (!attachments || !attachments->contentRect) return;
  std::string text = frameGeometryText(*attachments);
  if (text == lastFrameInfo_) return;
  writeLine(errorFd_, "capture_frame_info " + text);
  lastFrameInfo_ = std::move(text);
}

bool ScreenOutput::withholdBlack(platform::PixelBuffer& image) {
  if (!isBlackFrame(image)) {
    blackSince_ = 0;
    blackWithheld_ = false;
    return false;
  }
  const std::uint64_t now = uptime_();
  if (blackSince_ == 0) blackSince_ = now;
  blackWithheld_ = now - blackSince_ < blackRunGraceNanoseconds;
  return blackWithheld_;
}

// A screen that turns black and stays black sends nothing more: once the black run is long enough
// to be shown, ask for the picture again so that it is encoded.
void ScreenOutput::idleSample() {
  if (blackWithheld_ && uptime_() - blackSince_ >= blackRunGraceNanoseconds) requestFrame();
}

void ScreenOutput::requestFrame() {
  std::function<void()> requester;
  {
    MutexLock lock(flowLock_);
    requester = frameRequester_;
  }
  if (requester) requester();
}

void ScreenOutput::setFrameRequester(std::function<void()> requester) {
  MutexLock lock(flowLock_);
  frameRequester_ = std::move(requester);
}

void ScreenOutput::requestKeyframe() {
  encoder_.requestKeyframe();
  requestFrame();
}

void ScreenOutput::setPaused(bool paused) {
  MutexLock lock(flowLock_);
  paused_ = paused;
}

bool ScreenOutput::paused() const {
  MutexLock lock(flowLock_);
  return paused_;
}

std::uint64_t ScreenOutput::hold(double seconds) {
  const auto span = static_cast<std::uint64_t>(seconds * 1e9);
  MutexLock lock(flowLock_);
  heldUntil_ = uptime_() + span;
  return ++holds_;
}

void ScreenOutput::release() {
  std::uint64_t wasHeldUntil = 0;
  {
    MutexLock lock(flowLock_);
    wasHeldUntil = heldUntil_;
    heldUntil_ = 0;
  }
  if (wasHeldUntil != 0) requestKeyframe();
}

void ScreenOutput::releaseHold(std::uint64_t hold, bool keyframe, std::function<void()> passed) {
  bool withheld = false;
  {
    MutexLock lock(flowLock_);
    if (hold != holds_) return;
    heldUntil_ = 0;
    withheld = keyframe && withheldSinceKeyframe_ > 0;
    if (withheld) withheldSinceKeyframe_ = 0;
    onPassed_ = std::move(passed);
  }
  if (withheld) encoder_.requestKeyframe();
  requestFrame();
}

std::pair<std::int64_t, std::int64_t> ScreenOutput::stats() const {
  MutexLock lock(flowLock_);
  return {captureDrops_, maxActiveCallbacks_};
}

}  // namespace pelorin::media
