#include "platform/x11/capture_stream_x11.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>
#include <variant>

#include "platform/stream_outputs.h"
#include "platform/x11/failure_spell.h"
#include "platform/x11/picture_source.h"
#include "platform/x11/x11_display.h"

namespace pelorin::platform::x11 {
namespace {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC with libstdc++ on Linux
// Reads that fail this long stop the stream rather than leave it silent.
constexpr auto longestReadFailure = std::chrono::seconds(1);

Clock::duration frameInterval(const StreamConfiguration& c) {
  const double seconds = c.minimumFrameInterval.seconds();
  // No minimum: pace at 60 Hz rather than spin.
  const double interval = seconds > 0 ? seconds : 1.0 / 60;
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(interval));
}

struct Command {
  std::variant<StreamConfiguration, ContentFilter> change;
  std::promise<Result<void>> done;
};

// Everything the capture thread alone touches.
struct Session {
  std::unique_ptr<XConnection> connection;
  std::unique_ptr<PictureSource> source;
  ContentState content;
  StreamConfiguration configuration;
  FrameLayout layout;
  std::shared_ptr<NV12BufferPool> pool;
  std::vector<std::uint8_t> scratch;
  // A complete frame must be delivered: the picture or the layout changed, or one was asked for.
  // It stays owed until a frame is delivered, through ticks without a free buffer or a read.
  bool frameOwed = true;
  std::optional<CursorPicture> shownCursor;  // the cursor as in the last delivered frame
  // The last complete sample, delivered again when a frame is owed while nothing can be read.
  std::optional<SampleBuffer> lastComplete;
  std::optional<std::uint64_t> lastHash;
  FailureSpell readFailures{longestReadFailure};
  std::optional<Error> sourceLost;  // the source closed and none could replace it

  // The captured part of the content in root coordinates.
  PixelRect rootArea() const {
    return {content.rootX + layout.source.x, content.rootY + layout.source.y, layout.source.width,
            layout.source.height};
  }
};

bool sameCursor(const CursorPicture& a, const CursorPicture& b) {
  return a.x == b.x && a.y == b.y && a.serial == b.serial && a.width == b.width && a.height == b.height;
}

// Whether the cursor to draw on `area` (root coordinates) differs from the one drawn in the last frame.
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

// One read of the content and when it happened (CLOCK_MONOTONIC seconds).
struct Grab {
  SourcePicture picture;
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

class X11CaptureStream::Impl {
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
    if (!outputs_.add(std::move(output), type, std::move(queue))) {
      return x11Error("an output needs a receiver and a queue");
    }
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
    ContentFilter filter;
    {
      std::lock_guard lock(mutex_);
      filter = filter_;
      s.configuration = configuration_;
    }
    Result<std::unique_ptr<XConnection>> connection = XConnection::open(options_.displayName);
    if (!connection) return connection.error();
    s.connection = std::move(*connection);
    s.source = makePictureSource(*s.connection, filter, options_);
    if (Result<void> opened = s.source->open(); !opened) return opened;
    Result<ContentState> content = s.source->check();
    if (!content) return content.error();
    s.content = *content;
    if (Result<void> configured = configure(s, s.configuration); !configured) return configured;
    std::lock_guard lock(statsMutex_);
    stats_.sharedMemory = options_.useSharedMemory && s.connection->hasShm();
    stats_.damage = s.source->reportsDamage();
    return {};
  }

  void close(Session& s) {
    if (s.source && s.connection && !s.connection->broken()) {
      s.source->close();
      XSync(s.connection->display(), False);
    }
    s.source.reset();
    s.connection.reset();
  }

  // Adopts a configuration for the session's content; the stream's buffers follow its size.
  Result<void> configure(Session& s, const StreamConfiguration& c) {
    Result<FrameLayout> layout = computeLayout(s.content.width, s.content.height, c);
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
    // Two sources of one window would redirect it twice: the old one goes first, and comes back
    // when the new one cannot be opened.
    s.source->close();
    Result<void> switched = switchSource(s, filter);
    if (!switched) {
      ContentFilter previous;
      {
        std::lock_guard lock(mutex_);
        previous = filter_;
      }
      // Neither can be shown: the stream ends at its next tick.
      if (Result<void> restored = switchSource(s, previous); !restored) s.sourceLost = restored.error();
      return switched;
    }
    s.lastHash.reset();
    std::lock_guard lock(mutex_);
    filter_ = filter;
    return {};
  }

  Result<void> switchSource(Session& s, const ContentFilter& filter) {
    std::unique_ptr<PictureSource> source = makePictureSource(*s.connection, filter, options_);
    if (Result<void> opened = source->open(); !opened) return opened;
    Result<ContentState> content = source->check();
    const ContentState previous = s.content;
    if (content) {
      s.content = *content;
      if (Result<void> configured = configure(s, s.configuration); configured) {
        s.source = std::move(source);
        return {};
      } else {
        content = configured.error();
      }
    }
    s.content = previous;
    source->close();
    return content.error();
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
      s.source->handle(event);
    }
  }

  // The content after this tick's events; a new size or place lays the frame out again.
  std::optional<Error> checkContent(Session& s) {
    Result<ContentState> content = s.source->check();
    if (s.connection->broken()) return connectionLost();
    if (!content) return content.error();
    const bool resized = content->width != s.content.width || content->height != s.content.height;
    if (content->refreshed || content->rootX != s.content.rootX || content->rootY != s.content.rootY) {
      s.frameOwed = true;
    }
    s.content = *content;
    if (resized) {
      if (Result<void> configured = configure(s, s.configuration); !configured) return configured.error();
    }
    return std::nullopt;
  }

  // One frame interval: find out whether a frame is due, read and render it, deliver it.
  std::optional<Error> tick(Session& s) {
    if (s.sourceLost) return s.sourceLost;
    pumpEvents(s);
    if (s.connection->broken()) return connectionLost();
    if (std::optional<Error> lost = checkContent(s)) return lost;
    const Change change = detectChange(s);
    if (s.connection->broken()) return connectionLost();
    if (!s.content.readable) {
      repeatOrIdle(s, change.frameOwed);
      return std::nullopt;
    }
    // With damage reports an unchanged content is not read at all.
    if (s.source->reportsDamage() && !change.frameOwed) {
      deliverIdle();
      return std::nullopt;
    }
    PixelBufferRef buffer = s.pool->makeBuffer();
    if (!buffer) {
      // Every buffer is still with the outputs: this tick's frame is dropped, not waited for.
      count(&X11StreamStats::framesSkipped);
      return std::nullopt;
    }
    Result<Grab> grab = read(s);
    if (!grab) return readFailed(s, grab.error());
    // Without damage reports every tick reads the content and a hash tells whether it changed.
    if (!s.source->reportsDamage() && !pictureChanged(s, grab->picture.picture) && !change.frameOwed) {
      deliverIdle();
      return std::nullopt;
    }
    if (!render(s, *grab, change.cursor, *buffer)) {
      return readFailed(s, x11Error("the picture could not be converted"));
    }
    s.frameOwed = false;
    s.shownCursor = change.cursor;
    s.lastComplete = completeSample(s, std::move(buffer), *grab);
    outputs_.deliver(*s.lastComplete);
    return std::nullopt;
  }

  // A hidden window's owed frame is its last picture again; otherwise nothing changed.
  void repeatOrIdle(Session& s, bool frameOwed) {
    if (!frameOwed || !s.lastComplete) {
      deliverIdle();
      return;
    }
    s.frameOwed = false;
    s.lastComplete->presentationSeconds = monotonicSeconds();
    count(&X11StreamStats::framesDelivered);
    outputs_.deliver(*s.lastComplete);
  }

  Change detectChange(Session& s) {
    Change change;
    if (s.configuration.showsCursor) change.cursor = fetchCursor(*s.connection);
    if (s.source->reportsDamage() && s.source->takeDamage(s.layout.source)) s.frameOwed = true;
    if (frameRequested_.exchange(false)) s.frameOwed = true;
    change.frameOwed = s.frameOwed || cursorChanged(s.shownCursor, change.cursor, s.rootArea());
    return change;
  }

  Result<Grab> read(Session& s) {
    Grab grab;
    grab.before = monotonicSeconds();
    Result<SourcePicture> picture = s.source->read(s.layout.source);
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
  bool render(Session& s, const Grab& grab, const std::optional<CursorPicture>& cursor, PixelBuffer& buffer) {
    const BgrxView& picture = grab.picture.picture;
    if (cursor) {
      compositeCursor(s.source->mutablePixels(), picture.bytesPerRow, picture.width, picture.height,
                      grab.picture.rootX, grab.picture.rootY, *cursor);
    }
    if (!renderFrame(picture, s.layout, buffer, s.scratch)) return false;
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
    sample.attachments = render::completeAttachments(s.layout, 1.0);
    return sample;
  }

  void count(std::uint64_t X11StreamStats::*counter) {
    std::lock_guard lock(statsMutex_);
    ++(stats_.*counter);
  }

  void deliverIdle() {
    count(&X11StreamStats::idleFrames);
    outputs_.deliver(idleSample(monotonicSeconds()));
  }

  const X11CaptureOptions options_;
  StreamDelegate* const delegate_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  ContentFilter filter_;
  StreamConfiguration configuration_;
  StreamOutputs outputs_;
  std::deque<Command*> commands_;
  bool stopRequested_ = false;
  bool loopActive_ = false;
  std::thread thread_;
  std::atomic<bool> frameRequested_{false};  // taken by the next tick

  mutable std::mutex statsMutex_;
  X11StreamStats stats_;
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
