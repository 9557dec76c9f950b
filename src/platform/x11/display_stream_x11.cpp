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

#include "platform/x11/failure_spell.h"
#include "platform/x11/x11_display.h"

namespace pelorin::platform::x11 {
namespace {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC with libstdc++ on Linux
constexpr auto monitorCheckPeriod = std::chrono::milliseconds(500);
// Reads that fail this long stop the stream rather than leave it silent.
constexpr auto longestReadFailure = std::chrono::seconds(1);

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
  // A complete frame must be delivered: the picture or the layout changed, or one was asked for.
  // It stays owed until a frame is delivered, through ticks without a free buffer or a read.
  bool frameOwed = true;
  bool damagePending = true;
  bool monitorsChanged = false;
  Clock::time_point nextMonitorCheck;
  std::optional<CursorPicture> shownCursor;  // the cursor as in the last delivered frame
  std::optional<std::uint64_t> lastHash;
  FailureSpell readFailures{longestReadFailure};

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

// Whether the cursor to draw on `area` differs from the one drawn in the last frame.
bool cursorChanged(const std::optional<CursorPicture>& shown, const std::optional<CursorPicture>& current,
                   const PixelRect& area) {
  const bool before = shown && intersects(shown->bounds(), area);
  const bool after = current && intersects(current->bounds(), area);
  if (before != after) return true;
  return before && !sameCursor(*shown, *current);
}

// What a tick learns before reading the screen.
struct Change {
  std::optional<CursorPicture> cursor;  // to draw into the frame
  bool frameOwed = false;               // a frame is due whatever the pixels say
};

// One read of the screen and when it happened (CLOCK_MONOTONIC seconds).
struct Grab {
  BgrxView picture;
  double before = 0;
  double after = 0;
};

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
    Result<Monitor> monitor = findMonitor(*s.connection, s.filter.displayID);
    if (!monitor) return monitor.error();
    s.monitor = std::move(*monitor);
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
    s.frameOwed = true;
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
    Result<Monitor> monitor = findMonitor(*s.connection, filter.displayID);
    if (!monitor) return monitor.error();
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
        // The screen's size may have changed under an unchanged monitor: look again.
        s.frameOwed = true;
      }
    }
  }

  std::optional<Error> checkMonitor(Session& s) {
    const Clock::time_point now = Clock::now();
    if (!s.monitorsChanged && now < s.nextMonitorCheck) return std::nullopt;
    s.monitorsChanged = false;
    s.nextMonitorCheck = now + monitorCheckPeriod;
    Result<Monitor> monitor = findMonitor(*s.connection, s.filter.displayID);
    if (s.connection->broken()) return connectionLost();
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

  // One frame interval: find out whether a frame is due, read and render it, deliver it.
  std::optional<Error> tick(Session& s) {
    pumpEvents(s);
    if (s.connection->broken()) return connectionLost();
    if (std::optional<Error> lost = checkMonitor(s)) return lost;
    const PixelRect area = s.area();
    const Change change = detectChange(s, area);
    if (s.connection->broken()) return connectionLost();
    // With damage reports an unchanged screen is not read at all.
    if (s.damage && !change.frameOwed) {
      deliverIdle();
      return std::nullopt;
    }
    PixelBufferRef buffer = s.pool->makeBuffer();
    if (!buffer) {
      // Every buffer is still with the outputs: this tick's frame is dropped, not waited for.
      count(&X11StreamStats::framesSkipped);
      return std::nullopt;
    }
    Result<Grab> grab = read(s, area);
    if (!grab) return readFailed(s, grab.error());
    // Without damage reports every tick reads the screen and a hash tells whether it changed.
    if (!s.damage && !pictureChanged(s, grab->picture) && !change.frameOwed) {
      deliverIdle();
      return std::nullopt;
    }
    if (!render(s, *grab, area, change.cursor, *buffer)) {
      return readFailed(s, x11Error("the picture could not be converted"));
    }
    s.frameOwed = false;
    s.shownCursor = change.cursor;
    deliver(completeSample(s, std::move(buffer), *grab));
    return std::nullopt;
  }

  Change detectChange(Session& s, const PixelRect& area) {
    Change change;
    if (s.configuration.showsCursor) change.cursor = fetchCursor(*s.connection);
    if (s.damage && takeDamage(s, area)) s.frameOwed = true;
    if (frameRequested_.exchange(false)) s.frameOwed = true;
    change.frameOwed = s.frameOwed || cursorChanged(s.shownCursor, change.cursor, area);
    return change;
  }

  Result<Grab> read(Session& s, const PixelRect& area) {
    if (area.empty()) return x11Error("the display " + s.monitor.name + " lies outside the screen");
    Grab grab;
    grab.before = monotonicSeconds();
    Result<BgrxView> picture = s.grabber->grab(area);
    grab.after = monotonicSeconds();
    if (!picture) return picture.error();
    grab.picture = *picture;
    s.readFailures.succeed();
    std::lock_guard lock(statsMutex_);
    ++stats_.framesGrabbed;
    stats_.grabSeconds += grab.after - grab.before;
    return grab;
  }

  // Draws the cursor into the picture read, then scales and converts it into `buffer`.
  bool render(Session& s, const Grab& grab, const PixelRect& area, const std::optional<CursorPicture>& cursor,
              PixelBuffer& buffer) {
    if (cursor) {
      compositeCursor(s.grabber->mutablePixels(), grab.picture.bytesPerRow, grab.picture.width, grab.picture.height,
                      area.x, area.y, *cursor);
    }
    if (!renderFrame(grab.picture, s.layout, buffer, s.scratch)) return false;
    std::lock_guard lock(statsMutex_);
    ++stats_.framesDelivered;
    stats_.convertSeconds += monotonicSeconds() - grab.after;
    return true;
  }

  // A failed tick is retried at the next one; a spell of failures ends the stream.
  std::optional<Error> readFailed(Session& s, const Error& reason) {
    if (s.connection->broken()) return connectionLost();
    count(&X11StreamStats::grabFailures);
    return s.readFailures.fail(reason, Clock::now());
  }

  // Without damage reports: whether the picture differs from the one read before, by its hash.
  static bool pictureChanged(Session& s, const BgrxView& picture) {
    const std::uint64_t hash = sparseHash(picture);
    const bool changed = !s.lastHash || *s.lastHash != hash;
    s.lastHash = hash;
    return changed;
  }

  static SampleBuffer completeSample(const Session& s, PixelBufferRef buffer, const Grab& grab) {
    SampleBuffer sample;
    sample.imageBuffer = std::move(buffer);
    // The server copies the pixels somewhere inside the round trip; its middle is the best guess.
    sample.presentationSeconds = (grab.before + grab.after) / 2;
    SampleAttachments attachments;
    attachments.status = static_cast<int>(FrameStatus::Complete);
    const PixelRect& p = s.layout.placement;
    attachments.contentRect = Rect{static_cast<double>(p.x), static_cast<double>(p.y), static_cast<double>(p.width),
                                   static_cast<double>(p.height)};
    attachments.scaleFactor = 1.0;
    attachments.contentScale = s.layout.contentScale;
    sample.attachments = attachments;
    return sample;
  }

  void count(std::uint64_t X11StreamStats::*counter) {
    std::lock_guard lock(statsMutex_);
    ++(stats_.*counter);
  }

  void deliverIdle() {
    SampleBuffer sample;
    sample.presentationSeconds = monotonicSeconds();
    SampleAttachments attachments;
    attachments.status = static_cast<int>(FrameStatus::Idle);
    sample.attachments = attachments;
    count(&X11StreamStats::idleFrames);
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
