#include "capture/portion_stream_controller.h"

#include <cmath>

#include "capture/capture_configuration.h"
#include "capture/capture_environment.h"
#include "media/screen_output.h"

namespace pelorin::capture {
namespace {

// Far longer than a step takes: only a stream that never answers leaves the picture held this long.
constexpr double longestHoldSeconds = 2.0;

bool evenWhole(double side) { return side >= 2 && static_cast<std::int64_t>(side) % 2 == 0; }

}  // namespace

std::shared_ptr<PortionStreamController> PortionStreamController::create(
    std::shared_ptr<PortionStreamUpdating> stream, const Settings& settings,
    std::function<void(const Rect&)> placeFrame, MainThreadPost toMain) {
  return std::shared_ptr<PortionStreamController>(
      new PortionStreamController(std::move(stream), settings, std::move(placeFrame), std::move(toMain)));
}

PortionStreamController::PortionStreamController(std::shared_ptr<PortionStreamUpdating> stream,
                                                 const Settings& settings,
                                                 std::function<void(const Rect&)> placeFrame, MainThreadPost toMain)
    : stream_(std::move(stream)),
      settings_(settings),
      placeFrame_(std::move(placeFrame)),
      toMain_(std::move(toMain)),
      updates_(settings.rect) {}

bool PortionStreamController::acceptable(const Rect& r) const {
  return evenWhole(r.width) && evenWhole(r.height) && r.x >= 0 && r.y >= 0 &&
         r.x + r.width <= settings_.screenFrame.width && r.y + r.height <= settings_.screenFrame.height;
}

void PortionStreamController::move(const Rect& portion, bool ended) {
  dragging_ = !ended;
  // A portion that does not fit is not taken: the frame stays where the capture is.
  if (acceptable(portion)) {
    if (const auto send = updates_.request(portion)) step(*send);
  }
  if (!ended) return;
  // The drag is over: its last step follows at once, without a frame in between.
  if (awaitingFrame_) {
    advance();
  } else if (!updates_.inFlight) {
    finish();
  }
}

// The frame may now cover what the stream captures: nothing captured from here on passes until
// the stream shows the frame's portion.
void PortionStreamController::step(const Rect& portion) {
  stream_->holdPicture();
  stepped_ = true;
  placeFrame_(portion);
  apply(portion);
}

void PortionStreamController::apply(const Rect& portion) {
  auto completion = [weak = weak_from_this(), toMain = toMain_](std::optional<Error> error) {
    toMain([weak, success = !error] {
      if (auto self = weak.lock()) self->answered(success);
    });
  };
  stream_->updateConfiguration(makeCaptureConfiguration(settings_.stream, portion), std::move(completion));
}

void PortionStreamController::answered(bool success) {
  if (!success && !resyncing_) {
    // The frame goes back where the capture is, or on to a portion queued meanwhile, and through
    // the stream once more, so that whatever it captured with the frame elsewhere is behind the
    // picture's release.
    resyncing_ = true;
    const Rect target = updates_.completed(false).value_or(updates_.applied);
    updates_.inFlight = target;
    placeFrame_(target);
    return apply(target);
  }
  resyncing_ = false;
  if (!success) updates_.inFlight = updates_.applied;  // the stream fails: nothing more to undo
  if (!dragging_) return advance();
  awaitingFrame_ = true;
  stream_->releasePicture(false, [weak = weak_from_this(), toMain = toMain_, step = step_] {
    toMain([weak, step] {
      if (auto self = weak.lock(); self && self->awaitingFrame_ && self->step_ == step) self->advance();
    });
  });
}

void PortionStreamController::advance() {
  awaitingFrame_ = false;
  ++step_;
  if (const auto next = updates_.completed(true)) return step(*next);
  if (!dragging_) finish();
}

void PortionStreamController::finish() {
  if (!stepped_) return;
  stepped_ = false;
  stream_->releasePicture(true, nullptr);
}

LivePortionStream::LivePortionStream(std::weak_ptr<platform::CaptureStream> stream,
                                     std::weak_ptr<media::ScreenOutput> output, std::weak_ptr<SerialQueue> sampleQueue)
    : stream_(std::move(stream)), output_(std::move(output)), sampleQueue_(std::move(sampleQueue)) {}

void LivePortionStream::updateConfiguration(const platform::StreamConfiguration& configuration,
                                            Completion completion) {
  queue_.post([this, configuration, completion = std::move(completion)] {
    std::optional<Error> failure;
    {
      MutexLock lock(mutex_);
      auto stream = closed_ ? nullptr : stream_.lock();
      if (!stream) {
        failure = captureError("the capture stream has ended");
      } else if (Result<void> updated = stream->updateConfiguration(configuration); !updated) {
        failure = updated.error();
      }
    }
    completion(std::move(failure));
  });
}

void LivePortionStream::holdPicture() {
  if (auto output = output_.lock()) hold_ = output->hold(longestHoldSeconds);
}

// A stream answers a reconfiguration between two captures, after handing over what it captured
// before: queued behind those frames, the release lets none of them through. A hold that began
// meanwhile stays.
void LivePortionStream::releasePicture(bool keyframe, std::function<void()> passed) {
  if (auto queue = sampleQueue_.lock()) {
    queue->post([output = output_, hold = hold_, keyframe, passed = std::move(passed)]() mutable {
      if (auto o = output.lock()) o->releaseHold(hold, keyframe, std::move(passed));
    });
  }
}

void LivePortionStream::close() {
  MutexLock lock(mutex_);
  closed_ = true;
}

}  // namespace pelorin::capture
