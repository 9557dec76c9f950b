#include "platform/x11/capture_stream_x11.h"

#include <deque>
#include <future>
#include <thread>

#include "base/thread_name.h"
#include "platform/x11/capture_loop_x11.h"

namespace pelorin::platform::x11 {
namespace {

struct Command {
  StreamChange change;
  std::promise<Result<void>> done;
};

}  // namespace

Result<void> validateConfiguration(const StreamConfiguration& c) {
  if (c.pixelFormat != pixelFormat420v) return x11Error("only the 420v pixel format is available");
  if (c.queueDepth < 1) return x11Error("the queue depth must be at least 1");
  if (c.width < 0 || c.height < 0) return x11Error("the frame size is negative");
  if (c.width > 16384 || c.height > 16384) return x11Error("the frame size is too large");
  return {};
}

// What the caller configures and the mailbox to the stream's thread, which alone runs the
// CaptureLoop. The owner joins that thread: a delegate told of the stream's end on it must not
// destroy the stream there.
class X11CaptureStream::Impl {
 public:
  Impl(X11CaptureOptions options, ContentFilter filter, StreamConfiguration configuration, StreamDelegate* delegate)
      : options_(std::move(options)), delegate_(delegate), filter_(std::move(filter)),
        configuration_(configuration) {}

  ~Impl() {
    {
      MutexLock lock(mutex_);
      stopRequested_ = true;
    }
    wake_.notifyAll();
    MutexLock life(lifeMutex_);
    join();
  }

  Result<void> addOutput(std::shared_ptr<StreamOutput> output, StreamOutputType type,
                         std::shared_ptr<SerialQueue> queue) {
    if (!outputs_.add(std::move(output), type, std::move(queue))) {
      return x11Error("an output needs a receiver and a queue");
    }
    return {};
  }

  Result<void> start() {
    MutexLock life(lifeMutex_);
    {
      MutexLock lock(mutex_);
      if (loopActive_) return x11Error("the stream is already capturing");
    }
    // A loop that ended on an error leaves its thread to be joined.
    join();
    std::promise<Result<void>> started;
    std::future<Result<void>> ready = started.get_future();
    {
      MutexLock lock(mutex_);
      stopRequested_ = false;
      loopActive_ = true;
      thread_ = std::thread([this, started = std::move(started)]() mutable {
        nameThisThread("pelorin.grab");
        run(std::move(started));
      });
      threadId_ = thread_.get_id();
    }
    Result<void> result = ready.get();
    if (!result) join();
    return result;
  }

  Result<void> stop() {
    {
      MutexLock lock(mutex_);
      if (threadId_ == std::this_thread::get_id()) {
        return x11Error("stopCapture cannot be called from the stream's own thread");
      }
      stopRequested_ = true;
    }
    wake_.notifyAll();
    MutexLock life(lifeMutex_);
    if (!thread_.joinable()) return x11Error("the stream is not capturing");
    join();
    return {};
  }

  Result<void> update(StreamChange change) {
    if (auto* c = std::get_if<StreamConfiguration>(&change)) {
      if (Result<void> valid = validateConfiguration(*c); !valid) return valid;
    }
    Command command{std::move(change), {}};
    std::future<Result<void>> done = command.done.get_future();
    {
      MutexLock lock(mutex_);
      if (!loopActive_) {
        // Checked against the display when capture starts.
        remember(command.change);
        return {};
      }
      if (threadId_ == std::this_thread::get_id()) return x11Error("the stream cannot be changed from its own thread");
      commands_.push_back(&command);
    }
    wake_.notifyAll();
    return done.get();
  }

  void requestFrame() { frameRequested_.store(true); }
  X11StreamStats stats() const { return counters_.get(); }

 private:
  void join() REQUIRES(lifeMutex_) {
    if (!thread_.joinable()) return;
    thread_.join();
    MutexLock lock(mutex_);
    threadId_ = {};  // ids of ended threads are given to new ones
  }

  void remember(const StreamChange& change) REQUIRES(mutex_) {
    if (const auto* c = std::get_if<StreamConfiguration>(&change)) {
      configuration_ = *c;
    } else {
      filter_ = std::get<ContentFilter>(change);
    }
  }

  void run(std::promise<Result<void>> started) {
    CaptureLoop loop({options_, outputs_, counters_, frameRequested_});
    ContentFilter filter;
    StreamConfiguration configuration;
    {
      MutexLock lock(mutex_);
      filter = filter_;
      configuration = configuration_;
    }
    Result<void> opened = loop.open(filter, configuration);
    if (!opened) {
      loop.close();
      {
        MutexLock lock(mutex_);
        loopActive_ = false;
      }
      started.set_value(opened);
      return;
    }
    started.set_value({});
    std::optional<Error> failure = pace(loop);
    std::deque<Command*> abandoned;
    {
      MutexLock lock(mutex_);
      loopActive_ = false;
      abandoned.swap(commands_);
    }
    for (Command* command : abandoned) command->done.set_value(x11Error("the stream stopped"));
    loop.close();
    if (failure && delegate_) delegate_->didStopWithError(*failure);
  }

  // Ticks on an absolute schedule, applying changes between ticks, until stopped or a tick fails.
  std::optional<Error> pace(CaptureLoop& loop) {
    using Clock = CaptureLoop::Clock;
    Clock::time_point deadline = Clock::now();
    while (true) {
      std::deque<Command*> commands;
      {
        MutexLock lock(mutex_);
        // On the monotonic clock; stop and changes cut the wait short.
        wake_.waitUntil(lock, deadline, [&]() REQUIRES(mutex_) { return stopRequested_ || !commands_.empty(); });
        if (stopRequested_) return std::nullopt;
        commands.swap(commands_);
      }
      for (Command* command : commands) {
        Result<void> applied = loop.apply(command->change);
        if (applied) {
          MutexLock lock(mutex_);
          remember(command->change);
        }
        command->done.set_value(std::move(applied));
      }
      Clock::time_point now = Clock::now();
      if (now < deadline) continue;
      if (std::optional<Error> failure = loop.tick()) return failure;
      const Clock::duration interval = loop.interval();
      deadline += interval;
      now = Clock::now();
      // Behind schedule: skip the missed ticks instead of bursting to catch up.
      if (deadline <= now) deadline += ((now - deadline) / interval + 1) * interval;
    }
  }

  const X11CaptureOptions options_;
  StreamDelegate* const delegate_;
  StreamOutputs outputs_;
  StreamCounters counters_;
  std::atomic<bool> frameRequested_{false};  // taken by the next tick

  Mutex mutex_;
  CondVar wake_;
  ContentFilter filter_ GUARDED_BY(mutex_);  // for the next start, as last applied
  StreamConfiguration configuration_ GUARDED_BY(mutex_);
  std::deque<Command*> commands_ GUARDED_BY(mutex_);
  bool stopRequested_ GUARDED_BY(mutex_) = false;
  bool loopActive_ GUARDED_BY(mutex_) = false;
  std::thread::id threadId_ GUARDED_BY(mutex_);

  Mutex lifeMutex_;  // start, stop and the destructor, one at a time
  std::thread thread_ GUARDED_BY(lifeMutex_);
};

X11CaptureStream::X11CaptureStream(X11CaptureOptions options, ContentFilter filter, StreamConfiguration configuration,
                                   StreamDelegate* delegate)
    : impl_(std::make_unique<Impl>(std::move(options), std::move(filter), configuration, delegate)) {}

X11CaptureStream::~X11CaptureStream() = default;

Result<void> X11CaptureStream::addStreamOutput(std::shared_ptr<StreamOutput> output, StreamOutputType type,
                                               std::shared_ptr<SerialQueue> queue) {
  return impl_->addOutput(std::move(output), type, std::move(queue));
}

Result<void> X11CaptureStream::startCapture() { return impl_->start(); }
Result<void> X11CaptureStream::stopCapture() { return impl_->stop(); }

Result<void> X11CaptureStream::updateConfiguration(const StreamConfiguration& configuration) {
  return impl_->update(configuration);
}

Result<void> X11CaptureStream::updateContentFilter(const ContentFilter& filter) { return impl_->update(filter); }

void X11CaptureStream::requestFrame() { impl_->requestFrame(); }

X11StreamStats X11CaptureStream::stats() const { return impl_->stats(); }

}  // namespace pelorin::platform::x11
