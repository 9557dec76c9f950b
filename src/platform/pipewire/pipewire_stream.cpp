#include "platform/pipewire/pipewire_stream.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <optional>
#include <utility>

#include "base/thread_annotations.h"
#include "platform/media_time.h"
#include "platform/pipewire/frame_assembler.h"
#include "platform/pipewire/pipewire_connection.h"
#include "platform/stream_outputs.h"

namespace pelorin::platform::pipewire {
namespace {

// The remote can serve one connection: a stream or a grab takes the descriptor once.
int takeFd(PipeWireSource& source) { return std::exchange(source.remoteFd, -1); }

std::chrono::nanoseconds tickInterval(const StreamConfiguration& c) {
  const double seconds = c.minimumFrameInterval.seconds();
  // No minimum: pace at 60 Hz rather than spin.
  return std::chrono::nanoseconds(static_cast<std::int64_t>((seconds > 0 ? seconds : 1.0 / 60) * 1e9));
}

int maximumFps(const StreamConfiguration& c) {
  const double seconds = c.minimumFrameInterval.seconds();
  return seconds > 0 ? std::max(1, static_cast<int>(std::lround(1 / seconds))) : 60;
}

class PipeWireCaptureStream final : public CaptureStream {
 public:
  PipeWireCaptureStream(PipeWireSource source, const ContentFilter& filter, const StreamConfiguration& configuration,
                        StreamDelegate* delegate)
      : source_(std::move(source)), displayID_(filter.displayID), delegate_(delegate), configuration_(configuration),
        assembler_(configuration, source_.monitorFrame) {}

  ~PipeWireCaptureStream() override {
    connection_.reset();
    if (source_.remoteFd >= 0) ::close(source_.remoteFd);
  }

  Result<void> addStreamOutput(std::shared_ptr<StreamOutput> output, StreamOutputType type,
                               std::shared_ptr<SerialQueue> queue) override {
    if (!outputs_.add(std::move(output), type, std::move(queue))) {
      return pipeWireError("an output needs a receiver and a queue");
    }
    return {};
  }

  Result<void> startCapture() override {
    MutexLock lock(control_);
    if (connection_) return pipeWireError("the stream is already capturing");
    if (source_.remoteFd < 0) return pipeWireError("the screen cast stream cannot be started again");
    ConnectionHandlers handlers;
    handlers.picture = [this](const ReceivedBuffer& buffer) { return assembler_.receive(buffer); };
    handlers.forget = [this] { assembler_.forgetPicture(); };
    handlers.ended = [this](const Error& error) { fail(error); };
    Result<std::unique_ptr<PipeWireConnection>> connection =
        PipeWireConnection::open(takeFd(source_), source_.nodeId, maximumFps(configuration_), std::move(handlers));
    if (!connection) return connection.error();
    connection_ = std::move(*connection);
    connection_->setTicks(tickInterval(configuration_), [this] { tick(); });
    return {};
  }

  Result<void> stopCapture() override {
    MutexLock lock(control_);
    if (connection_ && connection_->onLoopThread()) {
      return pipeWireError("stopCapture cannot be called from the stream's own thread");
    }
    // A stream that ended on its own is stopped already.
    if (!connection_ && !failed_) return pipeWireError("the stream is not capturing");
    connection_.reset();
    return {};
  }

  Result<void> updateConfiguration(const StreamConfiguration& configuration) override {
    MutexLock lock(control_);
    Result<void> result;
    const auto apply = [&] { result = assembler_.configure(configuration); };
    if (connection_) {
      connection_->locked(apply);
    } else {
      apply();
    }
    if (!result) return result;
    configuration_ = configuration;
    if (connection_) connection_->setTicks(tickInterval(configuration), [this] { tick(); });
    return {};
  }

  Result<void> updateContentFilter(const ContentFilter& filter) override {
    // The portal chose the monitor when the session started; its node shows nothing else.
    if (filter.kind == ContentFilter::Kind::Window || filter.displayID != displayID_) {
      return pipeWireError("the screen cast stream shows one monitor only");
    }
    requestFrame();
    return {};
  }

  void requestFrame() override { frameRequested_.store(true); }

 private:
  // On the loop thread.
  void tick() {
    if (frameRequested_.exchange(false)) assembler_.requestFrame();
    if (std::optional<SampleBuffer> sample = assembler_.tick(monotonicSeconds())) outputs_.deliver(*sample);
  }

  // On the loop thread, once: the loop's handlers stop with the first failure.
  void fail(const Error& error) {
    failed_ = true;
    if (!delegate_) return;
    // A compositor ends a window's cast when the window goes away.
    if (source_.window && error.code == captureStatus::castEnded) {
      delegate_->didStopWithError(pipeWireError("the shared window was closed", captureStatus::windowClosed));
    } else {
      delegate_->didStopWithError(error);
    }
  }

  PipeWireSource source_;
  const DisplayID displayID_;
  StreamDelegate* const delegate_;
  Mutex control_;  // start, stop and updates, one at a time
  StreamConfiguration configuration_;
  FrameAssembler assembler_;  // on the loop thread, or with the loop locked
  StreamOutputs outputs_;
  std::atomic<bool> frameRequested_{false};
  std::atomic<bool> failed_{false};
  std::unique_ptr<PipeWireConnection> connection_;
};

}  // namespace

Result<std::unique_ptr<CaptureStream>> makePipeWireStream(PipeWireSource source, const ContentFilter& filter,
                                                          const StreamConfiguration& configuration,
                                                          StreamDelegate* delegate) {
  if (source.remoteFd < 0) return pipeWireError("no PipeWire remote to capture from");
  if (filter.kind == ContentFilter::Kind::Window) {
    ::close(source.remoteFd);
    return pipeWireError("the screen cast stream shows one monitor only");
  }
  return std::unique_ptr<CaptureStream>(
      std::make_unique<PipeWireCaptureStream>(std::move(source), filter, configuration, delegate));
}

Result<Image> grabPipeWireImage(PipeWireSource source, const ScreenshotConfiguration& configuration,
                                std::chrono::milliseconds timeout) {
  constexpr int picturesPerSecond = 30;  // one is taken: the rate only bounds what the stream offers
  Mutex mutex;
  CondVar grabbed;
  std::optional<Result<Image>> outcome;
  ConnectionHandlers handlers;
  handlers.picture = [&](const ReceivedBuffer& buffer) -> Result<void> {
    MutexLock lock(mutex);
    if (outcome) return {};
    const render::BgrxView& picture = buffer.picture;
    Image image;
    image.width = configuration.width > 0 ? configuration.width : picture.width;
    image.height = configuration.height > 0 ? configuration.height : picture.height;
    image.bytesPerRow = static_cast<std::size_t>(image.width) * 4;
    image.pixels.resize(image.bytesPerRow * static_cast<std::size_t>(image.height));
    render::scaleBgrx(picture, image.width, image.height, image.pixels.data(), image.bytesPerRow);
    outcome = std::move(image);
    grabbed.notifyAll();
    return {};
  };
  handlers.ended = [&](const Error& error) {
    MutexLock lock(mutex);
    if (!outcome) outcome = error;
    grabbed.notifyAll();
  };
  Result<std::unique_ptr<PipeWireConnection>> connection =
      PipeWireConnection::open(takeFd(source), source.nodeId, picturesPerSecond, std::move(handlers));
  if (!connection) return connection.error();
  // Counted from a running stream: the wait is for a still screen, not for a slow start, which
  // open() bounds on its own.
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  MutexLock lock(mutex);
  if (!grabbed.waitUntil(lock, deadline, [&] { return outcome.has_value(); })) {
    return pipeWireError("no picture came from the screen cast stream in time");
  }
  Result<Image> result = std::move(*outcome);
  lock.unlock();
  connection->reset();
  return result;
}

}  // namespace pelorin::platform::pipewire
