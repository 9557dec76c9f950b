#include "portion/portion_stream_controller.h"

#include <cmath>

#include "capture/capture_configuration.h"

namespace pelorin::portion {
namespace {

bool evenWhole(double side) {
  return side >= 2 && static_cast<std::int64_t>(side) % 2 == 0;
}

Error streamGone() { return Error{"ScreenCaptureKit", -1, "the capture stream has ended"}; }

}  // namespace

std::shared_ptr<PortionStreamController> PortionStreamController::create(
    std::shared_ptr<PortionStreamUpdating> stream, const Settings& settings,
    std::function<void(const Rect&)> restoreFrame, MainThreadPost toMain, LagHandler lag) {
  return std::shared_ptr<PortionStreamController>(new PortionStreamController(
      std::move(stream), settings, std::move(restoreFrame), std::move(toMain), std::move(lag)));
}

PortionStreamController::PortionStreamController(std::shared_ptr<PortionStreamUpdating> stream,
                                                 const Settings& settings,
                                                 std::function<void(const Rect&)> restoreFrame,
                                                 MainThreadPost toMain, LagHandler lag)
    : stream_(std::move(stream)),
      settings_(settings),
      restoreFrame_(std::move(restoreFrame)),
      toMain_(std::move(toMain)),
      lag_(std::move(lag)),
      updates_(settings.rect) {}

bool PortionStreamController::acceptable(const Rect& r) const {
  return evenWhole(r.width) && evenWhole(r.height) && r.x >= 0 && r.y >= 0 &&
         r.x + r.width <= settings_.screenFrame.width && r.y + r.height <= settings_.screenFrame.height;
}

void PortionStreamController::move(const Rect& portion) {
  // The frame has already moved: until the stream follows, the band may be inside the picture.
  if (lag_) lag_(true);
  if (!acceptable(portion)) {
    restoreFrame_(updates_.applied);
  } else if (const auto send = updates_.request(portion)) {
    apply(*send);
  }
  caughtUpIfIdle();
}

void PortionStreamController::caughtUpIfIdle() {
  if (lag_ && !updates_.inFlight) lag_(false);
}

void PortionStreamController::apply(const Rect& portion) {
  platform::StreamConfiguration configuration =
      capture::makeCaptureConfiguration(settings_.outputWidth, settings_.outputHeight, portion);
  configuration.minimumFrameInterval = {1, settings_.fps};
  stream_->updateConfiguration(configuration, [weak = weak_from_this(), toMain = toMain_](std::optional<Error> error) {
    toMain([weak, success = !error] {
      if (auto self = weak.lock()) self->answered(success);
    });
  });
}

void PortionStreamController::answered(bool success) {
  const PortionUpdates::Next next = updates_.completed(success);
  if (next.send) apply(*next.send);
  if (next.restore) restoreFrame_(*next.restore);
  caughtUpIfIdle();
}

LivePortionStream::LivePortionStream(std::weak_ptr<platform::CaptureStream> stream) : stream_(std::move(stream)) {}

void LivePortionStream::updateConfiguration(const platform::StreamConfiguration& configuration,
                                            Completion completion) {
  queue_.post([this, configuration, completion = std::move(completion)] {
    std::optional<Error> failure;
    {
      std::lock_guard lock(mutex_);
      auto stream = closed_ ? nullptr : stream_.lock();
      if (!stream) {
        failure = streamGone();
      } else if (Result<void> updated = stream->updateConfiguration(configuration); !updated) {
        failure = updated.error();
      } else {
        stream->requestFrame();
      }
    }
    completion(std::move(failure));
  });
}

void LivePortionStream::close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
}

}  // namespace pelorin::portion
