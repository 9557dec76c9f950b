#include "platform/x11/display_stream_x11.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>
#include <variant>

#include "platform/x11/x11_display.h"

namespace pelorin::platform::x11 {
namespace {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC with libstdc++ on Linux
constexpr auto monitorCheckPeriod = std::chrono::milliseconds(500);

double monotonicSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

Clock::duration frameInterval(const StreamConfiguration& c) {
  const double seconds = c.minimumFrameInterval.seconds();
  // No minimum: pace at 60 Hz rather than spin.
  const double interval = seconds > 0 ? seconds : 1.0 / 60;
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(interval));
}

struct OutputEntry {
  std::shared_ptr<StreamOutput> output;
  StreamOutputType type;
  std::shared_ptr<SerialQueue> queue;
};

struct Command {
  std::variant<StreamConfiguration, ContentFilter> change;
  std::promise<Result<void>> done;
};

// Everything the capture thread alone touches.
struct Session {
  std::unique_ptr<XConnection> connection;
  std::unique_ptr<ScreenGrabber> grabber;
  Damage damage = 0;
  XserverRegion damageRegion = 0;
  Monitor monitor;
  ContentFilter filter;
  StreamConfiguration configuration;
  FrameLayout layout;
  std::shared_ptr<NV12BufferPool> pool;
  std::vector<std::uint8_t> scratch;
  bool dirty = true;  // the last delivered frame is out of date
  bool damagePending = true;
  bool monitorsChanged = false;
  Clock::time_point nextMonitorCheck;
  std::optional<CursorPicture> shownCursor;  // the cursor as in the last delivered frame
  std::optional<std::uint64_t> lastHash;

  // The captured area in root coordinates.
  PixelRect area() const {
    const PixelRect source{monitor.frame.x + layout.source.x, monitor.frame.y + layout.source.y, layout.source.width,
                           layout.source.height};
    // Past the root's edge a read fails with BadMatch.
    return intersect(source, connection->rootBounds());
  }
};

bool sameCursor(const CursorPicture& a, const CursorPicture& b) {
  return a.x == b.x && a.y == b.y && a.serial == b.serial && a.width == b.width && a.height == b.height;
}

const Monitor* findMonitor(const std::vector<Monitor>& monitors, DisplayID id) {
  for (const auto& monitor : monitors) {
    if (monitor.id == id) return &monitor;
  }
  return nullptr;
}

}  // namespace

Result<void> validateConfiguration(const StreamConfiguration& c) {
  if (c.pixelFormat != pixelFormat420v) return x11Error("only the 420v pixel format is available");
  if (c.queueDepth < 1) return x11Error("the queue depth must be at least 1");
  if (c.width < 0 || c.height < 0) return x11Error("the frame size is negative");
  if (c.width > 16384 || c.height > 16384) return x11Error("the frame size is too large");
  return {};
}

class X11DisplayStream::Impl {
 public:
  Impl(X11CaptureOptions options, ContentFilter filter, StreamConfiguration configuration, StreamDelegate* delegate)
      : options_(std::move(options)), delegate_(delegate), filter_(std::move(filter)),
        configuration_(configuration) {}

  ~Impl() {
    {
      std::lock_guard lock(mutex_);
      stopRequested_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
      if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
      } else {
        thread_.join();
      }
    }
  }

  Result<void> addOutput(std::shared_ptr<StreamOutput> output, StreamOutputType type,
                         std::shared_ptr<SerialQueue> queue) {
    if (!output || !queue) return x11Error("an output needs a receiver and a queue");
    std::lock_guard lock(mutex_);
    outputs_.push_back({std::move(output), type, std::move(queue)});
    return {};
  }

  Result<void> start() {
    {
      std::unique_lock lock(mutex_);
      if (loopActive_) return x11Error("the stream is already capturing");
    }
    // A loop that ended on an error leaves its thread to be joined.
    if (thread_.joinable()) thread_.join();
    std::promise<Result<void>> started;
    std::future<Result<void>> ready = started.get_future();
    {
      std::lock_guard lock(mutex_);
      stopRequested_ = false;
      loopActive_ = true;
      thread_ = std::thread([this, started = std::move(started)]() mutable { run(std::move(started)); });
    }
    Result<void> result = ready.get();
    if (!result) thread_.join();
    return result;
  }

  Result<void> stop() {
    if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id()) {
      return x11Error("stopCapture cannot be called from the stream's own thread");
    }
    {
      std::lock_guard lock(mutex_);
      if (!thread_.joinable()) return x11Error("the stream is not capturing");
      stopRequested_ = true;
    }
    wake_.notify_all();
    thread_.join();
    return {};
  }

  Result<void> update(std::variant<StreamConfiguration, ContentFilter> change) {
    if (auto* c = std::get_if<StreamConfiguration>(&change)) {
      if (Result<void> valid = validateConfiguration(*c); !valid) return valid;
    } else if (std::get<ContentFilter>(change).kind != ContentFilter::Kind::Display) {
      return x11Error("a display stream can only show a whole display");
    }
    Command command{std::move(change), {}};
    std::future<Result<void>> done = command.done.get_future();
    {
      std::lock_guard lock(mutex_);
      if (!loopActive_) {
        // Checked against the display when capture starts.
        if (auto* c = std::get_if<StreamConfiguration>(&command.change)) {
          configuration_ = *c;
        } else {
          filter_ = std::get<ContentFilter>(command.change);
        }
        return {};
      }
      if (thread_.get_id() == std::this_thread::get_id()) {
        return x11Error("the stream cannot be changed from its own thread");
      }
      commands_.push_back(&command);
    }
    wake_.notify_all();
    return done.get();
  }

  void requestFrame() { frameRequested_.store(true); }

  X11StreamStats stats() const {
    std::lock_guard lock(statsMutex_);
    return stats_;
  }

 private:
  void run(std::promise<Result<void>> started) {
    Session session;
    Result<void> opened = open(session);
    if (!opened) {
      {
        std::lock_guard lock(mutex_);
        loopActive_ = false;
      }
      close(session);
      started.set_value(opened);
      return;
    }
    started.set_value({});
    std::optional<Error> failure = loop(session);
    std::deque<Command*> abandoned;
    {
      std::lock_guard lock(mutex_);
      loopActive_ = false;
      abandoned.swap(commands_);
    }
    for (Command* command : abandoned) command->done.set_value(x11Error("the stream stopped"));
    close(session);
    if (failure && delegate_) delegate_->didStopWithError(*failure);
  }

  Result<void> open(Session& s) {
    {
      std::lock_guard lock(mutex_);
      s.filter = filter_;
      s.configuration = configuration_;
    }
    Result<std::unique_ptr<XConnection>> connection = XConnection::open(options_.displayName);
    if (!connection) return connection.error();
    s.connection = std::move(*connection);
    const std::vector<Monitor> monitors = queryMonitors(*s.connection);
    const Monitor* monitor = findMonitor(monitors, s.filter.displayID);
    if (!monitor) return x11Error("display not found (" + std::to_string(s.filter.displayID) + ")");
    s.monitor = *monitor;
    if (Result<void> configured = configure(s, s.configuration); !configured) return configured;
    s.grabber = std::make_unique<ScreenGrabber>(*s.connection, options_.useSharedMemory);
    Display* display = s.connection->display();
    if (options_.useDamage && s.connection->hasDamage()) {
      s.damage = XDamageCreate(display, s.connection->root(), XDamageReportNonEmpty);
      s.damageRegion = XFixesCreateRegion(display, nullptr, 0);
    }
    if (s.connection->hasRandr()) XRRSelectInput(display, s.connection->root(), RRScreenChangeNotifyMask);
    s.nextMonitorCheck = Clock::now() + monitorCheckPeriod;
    std::lock_guard lock(statsMutex_);
    stats_.sharedMemory = options_.useSharedMemory && s.connection->hasShm();
    stats_.damage = s.damage != 0;
    return {};
  }

  void close(Session& s) {
    s.grabber.reset();
    if (s.connection && !s.connection->broken()) {
      if (s.damage) XDamageDestroy(s.connection->display(), s.damage);
      if (s.damageRegion) XFixesDestroyRegion(s.connection->display(), s.damageRegion);
      XSync(s.connection->display(), False);
    }
    s.connection.reset();
  }

  // Adopts a configuration for the session's monitor; the stream's buffers follow its size.
  Result<void> configure(Session& s, const StreamConfiguration& c) {
    Result<FrameLayout> layout = computeLayout(s.monitor.frame.width, s.monitor.frame.height, c);
    if (!layout) return layout.error();
    if (!s.pool || s.pool->width() != layout->frameWidth || s.pool->height() != layout->frameHeight ||
        s.configuration.queueDepth != c.queueDepth) {
      s.pool = NV12BufferPool::create(layout->frameWidth, layout->frameHeight, static_cast<std::size_t>(c.queueDepth));
      if (!s.pool) return x11Error("no buffers for the frame size");
    }
    s.layout = *layout;
    s.configuration = c;
    s.dirty = true;
    return {};
  }

  Result<void> apply(Session& s, const std::variant<StreamConfiguration, ContentFilter>& change) {
    if (const auto* c = std::get_if<StreamConfiguration>(&change)) {
      if (Result<void> configured = configure(s, *c); !configured) return configured;
      std::lock_guard lock(mutex_);
      configuration_ = *c;
      return {};
    }
    const ContentFilter& filter = std::get<ContentFilter>(change);
    const std::vector<Monitor> monitors = queryMonitors(*s.connection);
    const Monitor* monitor = findMonitor(monitors, filter.displayID);
    if (!monitor) return x11Error("display not found (" + std::to_string(filter.displayID) + ")");
    const Monitor previous = s.monitor;
    s.monitor = *monitor;
    if (Result<void> configured = configure(s, s.configuration); !configured) {
      s.monitor = previous;
      return configured;
    }
    s.filter = filter;
    std::lock_guard lock(mutex_);
    filter_ = filter;
    return {};
  }

  std::optional<Error> loop(Session& s) {
    Clock::time_point deadline = Clock::now();
    while (true) {
      std::deque<Command*> commands;
      {
        std::unique_lock lock(mutex_);
        // An absolute deadline on the monotonic clock; stop and changes cut the wait short.
        wake_.wait_until(lock, deadline, [&] { return stopRequested_ || !commands_.empty(); });
        if (stopRequested_) return std::nullopt;
        commands.swap(commands_);
      }
      for (Command* command : commands) command->done.set_value(apply(s, command->change));
      Clock::time_point now = Clock::now();
      if (now < deadline) continue;
      if (std::optional<Error> failure = tick(s)) return failure;
      const Clock::duration interval = frameInterval(s.configuration);
      deadline += interval;
      now = Clock::now();
      // Behind schedule: skip the missed ticks instead of bursting to catch up.
      if (deadline <= now) deadline += ((now - deadline) / interval + 1) * interval;
    }
  }

  void pumpEvents(Session& s) {
    Display* display = s.connection->display();
    while (!s.connection->broken() && XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (s.damage && event.type == s.connection->damageEventBase() + XDamageNotify) {
        s.damagePending = true;
      } else if (s.connection->hasRandr() && event.type == s.connection->randrEventBase() + RRScreenChangeNotify) {
        XRRUpdateConfiguration(&event);
        s.monitorsChanged = true;
      }
    }
  }

  std::optional<Error> checkMonitor(Session& s) {
    const Clock::time_point now = Clock::now();
    if (!s.monitorsChanged && now < s.nextMonitorCheck) return std::nullopt;
    s.monitorsChanged = false;
    s.nextMonitorCheck = now + monitorCheckPeriod;
    const std::vector<Monitor> monitors = queryMonitors(*s.connection);
    if (s.connection->broken()) return x11Error("the connection to the X server was lost");
    const Monitor* monitor = findMonitor(monitors, s.filter.displayID);
    if (!monitor) return x11Error("the display was disconnected (" + s.monitor.name + ")");
    if (!(monitor->frame == s.monitor.frame)) {
      s.monitor = *monitor;
      if (Result<void> configured = configure(s, s.configuration); !configured) return configured.error();
    }
    return std::nullopt;
  }

  // Whether damage reported since the last look touches `area`.
  bool takeDamage(Session& s, const PixelRect& area) {
    if (!s.damagePending) return false;
    s.damagePending = false;
    Display* display = s.connection->display();
    XDamageSubtract(display, s.damage, None, s.damageRegion);
    int count = 0;
    XRectangle* rects = XFixesFetchRegion(display, s.damageRegion, &count);
    bool touched = false;
    for (int i = 0; rects && i < count && !touched; ++i) {
      touched = intersects(area, PixelRect{rects[i].x, rects[i].y, rects[i].width, rects[i].height});
    }
    if (rects) XFree(rects);
    return touched;
  }

  std::optional<Error> tick(Session& s) {
    pumpEvents(s);
    if (s.connection->broken()) return x11Error("the connection to the X server was lost");
    if (std::optional<Error> lost = checkMonitor(s)) return lost;
    const PixelRect area = s.area();

    std::optional<CursorPicture> cursor;
    bool cursorChanged = false;
    if (s.configuration.showsCursor) {
      cursor = fetchCursor(*s.connection);
      const bool before = s.shownCursor && intersects(s.shownCursor->bounds(), area);
      const bool after = cursor && intersects(cursor->bounds(), area);
      if (before != after) {
        cursorChanged = true;
      } else if (before && after) {
        cursorChanged = !sameCursor(*s.shownCursor, *cursor);
      }
    } else if (s.shownCursor) {
      cursorChanged = true;
    }
    if (s.damage && takeDamage(s, area)) s.dirty = true;
    if (frameRequested_.exchange(false)) s.dirty = true;
    if (s.connection->broken()) return x11Error("the connection to the X server was lost");

    // Without damage reports every tick reads the screen and a hash tells whether it changed.
    const bool mayHaveChanged = s.dirty || cursorChanged || !s.damage;
    if (!mayHaveChanged) {
      deliverIdle(s);
      return std::nullopt;
    }
    PixelBufferRef buffer = s.pool->makeBuffer();
    if (!buffer) {
      // Every buffer is still with the outputs: this tick's frame is dropped, not waited for.
      std::lock_guard lock(statsMutex_);
      ++stats_.framesSkipped;
      return std::nullopt;
    }
    const double before = monotonicSeconds();
    Result<BgrxView> picture = s.grabber->grab(area);
    const double after = monotonicSeconds();
    if (!picture) {
      if (s.connection->broken()) return x11Error("the connection to the X server was lost");
      std::lock_guard lock(statsMutex_);
      ++stats_.grabFailures;
      return std::nullopt;
    }
    {
      std::lock_guard lock(statsMutex_);
      ++stats_.framesGrabbed;
      stats_.grabSeconds += after - before;
    }
    if (!s.damage) {
      const std::uint64_t hash = sparseHash(*picture);
      const bool same = s.lastHash && *s.lastHash == hash;
      s.lastHash = hash;
      if (same && !s.dirty && !cursorChanged) {
        deliverIdle(s);
        return std::nullopt;
      }
    }
    if (cursor) {
      compositeCursor(s.grabber->mutablePixels(), picture->bytesPerRow, picture->width, picture->height, area.x,
                      area.y, *cursor);
    }
    if (!renderFrame(*picture, s.layout, *buffer, s.scratch)) {
      std::lock_guard lock(statsMutex_);
      ++stats_.grabFailures;
      return std::nullopt;
    }
    const double converted = monotonicSeconds();
    SampleBuffer sample;
    sample.imageBuffer = std::move(buffer);
    // The server copies the pixels somewhere inside the round trip; its middle is the best guess.
    sample.presentationSeconds = (before + after) / 2;
    SampleAttachments attachments;
    attachments.status = static_cast<int>(FrameStatus::Complete);
    const PixelRect& p = s.layout.placement;
    attachments.contentRect = Rect{static_cast<double>(p.x), static_cast<double>(p.y), static_cast<double>(p.width),
                                   static_cast<double>(p.height)};
    attachments.scaleFactor = 1.0;
    attachments.contentScale = s.layout.contentScale;
    sample.attachments = attachments;
    s.dirty = false;
    s.shownCursor = cursor;
    {
      std::lock_guard lock(statsMutex_);
      ++stats_.framesDelivered;
      stats_.convertSeconds += converted - after;
    }
    deliver(sample);
    return std::nullopt;
  }

  void deliverIdle(Session&) {
    SampleBuffer sample;
    sample.presentationSeconds = monotonicSeconds();
    SampleAttachments attachments;
    attachments.status = static_cast<int>(FrameStatus::Idle);
    sample.attachments = attachments;
    {
      std::lock_guard lock(statsMutex_);
      ++stats_.idleFrames;
    }
    deliver(sample);
  }

  void deliver(const SampleBuffer& sample) {
    std::vector<OutputEntry> outputs;
    {
      std::lock_guard lock(mutex_);
      outputs = outputs_;
    }
    for (const OutputEntry& entry : outputs) {
      if (entry.type != StreamOutputType::Screen) continue;
      entry.queue->post([output = entry.output, sample] { output->didOutputSample(sample, StreamOutputType::Screen); });
    }
  }

  const X11CaptureOptions options_;
  StreamDelegate* const delegate_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  ContentFilter filter_;
  StreamConfiguration configuration_;
  std::vector<OutputEntry> outputs_;
  std::deque<Command*> commands_;
  bool stopRequested_ = false;
  bool loopActive_ = false;
  std::thread thread_;
  std::atomic<bool> frameRequested_{false};  // taken by the next tick

  mutable std::mutex statsMutex_;
  X11StreamStats stats_;
};

X11DisplayStream::X11DisplayStream(X11CaptureOptions options, ContentFilter filter, StreamConfiguration configuration,
                                   StreamDelegate* delegate)
    : impl_(std::make_unique<Impl>(std::move(options), std::move(filter), configuration, delegate)) {}

X11DisplayStream::~X11DisplayStream() = default;

Result<void> X11DisplayStream::addStreamOutput(std::shared_ptr<StreamOutput> output, StreamOutputType type,
                                               std::shared_ptr<SerialQueue> queue) {
  return impl_->addOutput(std::move(output), type, std::move(queue));
}

Result<void> X11DisplayStream::startCapture() { return impl_->start(); }
Result<void> X11DisplayStream::stopCapture() { return impl_->stop(); }

Result<void> X11DisplayStream::updateConfiguration(const StreamConfiguration& configuration) {
  return impl_->update(configuration);
}

Result<void> X11DisplayStream::updateContentFilter(const ContentFilter& filter) { return impl_->update(filter); }

void X11DisplayStream::requestFrame() { impl_->requestFrame(); }

X11StreamStats X11DisplayStream::stats() const { return impl_->stats(); }

}  // namespace pelorin::platform::x11
