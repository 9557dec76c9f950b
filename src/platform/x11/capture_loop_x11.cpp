#include "platform/x11/capture_loop_x11.h"

#include "platform/render/damage_region.h"

namespace pelorin::platform::x11 {
namespace {

using render::mergeBoxes;
using render::reachedPixels;

// Reads that fail this long stop the stream rather than leave it silent.
constexpr auto longestReadFailure = std::chrono::seconds(1);
// Damage can go unreported (some drivers and compositors report too little): the whole picture is
// checked this often, and a frame asked for after this long is read whole. The check is one read
// and one comparison: spread over ticks in bands of rows it cost more, not less (eight bands a
// second, 2 ms a second more on a still 1080p screen: comparing rows the server has only just
// written is slow).
constexpr auto longestTrust = std::chrono::duration<double>(render::longestDamageTrustSeconds);
// Nothing new is told to the outputs this often, not at every tick: each hand-off wakes their
// thread, and what waits on time there (a black run's half second) needs no finer steps.
constexpr auto idleInterval = std::chrono::milliseconds(100);

bool sameCursor(const CursorPicture& a, const CursorPicture& b) {
  return a.x == b.x && a.y == b.y && a.serial == b.serial && a.width == b.width && a.height == b.height;
}

// Whether the cursor to draw on `area` (root coordinates) differs from the one drawn in the last frame.
bool cursorChanged(const std::optional<CursorPicture>& shown, const CursorPicture* current, const PixelRect& area) {
  const bool before = shown && intersects(shown->bounds(), area);
  const bool after = current && intersects(current->bounds(), area);
  if (before != after) return true;
  return before && !sameCursor(*shown, *current);
}

}  // namespace

X11StreamStats StreamCounters::get() const {
  MutexLock lock(mutex_);
  return stats_;
}

void StreamCounters::count(std::uint64_t X11StreamStats::*counter) {
  MutexLock lock(mutex_);
  ++(stats_.*counter);
}

void StreamCounters::opened(bool sharedMemory, bool damage) {
  MutexLock lock(mutex_);
  stats_.sharedMemory = sharedMemory;
  stats_.damage = damage;
}

void StreamCounters::grabbed(double seconds) {
  MutexLock lock(mutex_);
  ++stats_.framesGrabbed;
  stats_.grabSeconds += seconds;
}

void StreamCounters::delivered(double convertSeconds) {
  MutexLock lock(mutex_);
  ++stats_.framesDelivered;
  stats_.convertSeconds += convertSeconds;
}

// What a tick learns before reading the screen.
struct CaptureLoop::Change {
  const CursorPicture* cursor = nullptr;  // to draw into the frame
  bool cursorChanged = false;             // drawn elsewhere, or another picture, or shown or hidden
  bool frameOwed = false;                 // a frame is due whatever the pixels say
  bool requested = false;                 // a frame was asked for since the last tick
};

// One read of the content and when it happened (CLOCK_MONOTONIC seconds).
struct CaptureLoop::Grab {
  SourcePicture picture;
  double before = 0;
  double after = 0;
};

CaptureLoop::CaptureLoop(LoopContext context) : context_(context), readFailures_(longestReadFailure) {}

CaptureLoop::~CaptureLoop() { close(); }

Result<void> CaptureLoop::open(const ContentFilter& filter, const StreamConfiguration& configuration) {
  Result<std::unique_ptr<XConnection>> connection = XConnection::open(context_.options.displayName);
  if (!connection) return connection.error();
  connection_ = std::move(*connection);
  cursor_ = std::make_unique<CursorWatch>(*connection_);
  source_ = makePictureSource(*connection_, filter, context_.options);
  filter_ = filter;
  configuration_ = configuration;
  if (Result<void> opened = source_->open(); !opened) return opened;
  Result<ContentState> content = source_->check();
  if (!content) return content.error();
  content_ = *content;
  if (Result<void> configured = configure(configuration); !configured) return configured;
  context_.counters.opened(context_.options.useSharedMemory && connection_->hasShm(), source_->reportsDamage());
  return {};
}

void CaptureLoop::close() {
  if (source_ && connection_ && !connection_->broken()) {
    source_->close();
    XSync(connection_->display(), False);
  }
  source_.reset();
  cursor_.reset();
  connection_.reset();
}

CaptureLoop::Clock::duration CaptureLoop::interval() const {
  const double seconds = configuration_.minimumFrameInterval.seconds();
  // No minimum: pace at 60 Hz rather than spin.
  const double interval = seconds > 0 ? seconds : 1.0 / 60;
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(interval));
}

PixelRect CaptureLoop::rootArea() const {
  return {content_.rootX + layout_.source.x, content_.rootY + layout_.source.y, layout_.source.width,
          layout_.source.height};
}

// Adopts a configuration for the content; the stream's buffers follow its size.
Result<void> CaptureLoop::configure(const StreamConfiguration& c) {
  Result<FrameLayout> layout = computeLayout(content_.width, content_.height, c);
  if (!layout) return layout.error();
  if (!pool_ || pool_->width() != layout->frameWidth || pool_->height() != layout->frameHeight ||
      configuration_.queueDepth != c.queueDepth) {
    pool_ = NV12BufferPool::create(layout->frameWidth, layout->frameHeight, static_cast<std::size_t>(c.queueDepth));
    if (!pool_) return x11Error("no buffers for the frame size");
  }
  layout_ = *layout;
  configuration_ = c;
  frameOwed_ = true;
  redrawWhole_ = true;
  canvas_.reset(layout_);
  return {};
}

Result<void> CaptureLoop::apply(const StreamChange& change) {
  if (const auto* c = std::get_if<StreamConfiguration>(&change)) return configure(*c);
  const ContentFilter& filter = std::get<ContentFilter>(change);
  // Two sources of one window would redirect it twice: the old one goes first, and comes back
  // when the new one cannot be opened.
  source_->close();
  Result<void> switched = switchSource(filter);
  if (!switched) {
    // Neither can be shown: the stream ends at its next tick.
    if (Result<void> restored = switchSource(filter_); !restored) sourceLost_ = restored.error();
    return switched;
  }
  lastHash_.reset();
  kept_.reset();
  filter_ = filter;
  return {};
}

Result<void> CaptureLoop::switchSource(const ContentFilter& filter) {
  std::unique_ptr<PictureSource> source = makePictureSource(*connection_, filter, context_.options);
  if (Result<void> opened = source->open(); !opened) return opened;
  Result<ContentState> content = source->check();
  const ContentState previous = content_;
  if (content) {
    content_ = *content;
    if (Result<void> configured = configure(configuration_); configured) {
      source_ = std::move(source);
      return {};
    } else {
      content = configured.error();
    }
  }
  content_ = previous;
  source->close();
  return content.error();
}

void CaptureLoop::pumpEvents() {
  Display* display = connection_->display();
  // The pointer is asked for first: the events before its answer are queued with it, and need no
  // read of the connection of their own.
  const int queued = configuration_.showsCursor && cursor_->locate() ? QueuedAlready : QueuedAfterFlush;
  while (!connection_->broken() && XEventsQueued(display, queued) > 0) {
    XEvent event;
    XNextEvent(display, &event);
    if (!cursor_->handle(event)) source_->handle(event);
  }
}

// The content after this tick's events; a new size or place lays the frame out again.
std::optional<Error> CaptureLoop::checkContent() {
  Result<ContentState> content = source_->check();
  if (connection_->broken()) return connectionLost();
  if (!content) return content.error();
  const bool resized = content->width != content_.width || content->height != content_.height;
  if (content->refreshed || content->rootX != content_.rootX || content->rootY != content_.rootY) {
    frameOwed_ = true;
    redrawWhole_ = true;
  }
  content_ = *content;
  if (resized) {
    if (Result<void> configured = configure(configuration_); !configured) return configured.error();
  }
  return std::nullopt;
}

std::optional<Error> CaptureLoop::tick() {
  if (sourceLost_) return sourceLost_;
  pumpEvents();
  if (connection_->broken()) return connectionLost();
  if (std::optional<Error> lost = checkContent()) return lost;
  const Change change = detectChange();
  if (connection_->broken()) return connectionLost();
  if (!content_.readable) {
    repeatOrIdle(change);
    return std::nullopt;
  }
  if (std::optional<Error> failed = healMissedDamage()) return failed;
  // With damage reports an unchanged content is not read at all.
  if (source_->reportsDamage() && !change.frameOwed && damaged_.empty()) {
    deliverIdle();
    return std::nullopt;
  }
  PixelBufferRef buffer = pool_->makeBuffer();
  if (!buffer) {
    // Every buffer is still with the outputs: this tick's frame is dropped, not waited for.
    context_.counters.count(&X11StreamStats::framesSkipped);
    return std::nullopt;
  }
  std::vector<PixelRect> boxes = boxesToDraw(change);
  const bool whole = redrawWhole_ || !keptIsWhole() || !source_->reportsDamage() ||
                     render::coversMostOf(boxes, layout_.source);
  Result<Grab> grab = whole ? read() : readAgain(mergeBoxes(damaged_, render::mostDamageBoxes));
  if (!grab) return readFailed(grab.error());
  // Without damage reports every tick reads the content and a hash tells whether it changed.
  if (!source_->reportsDamage() && !pictureChanged(grab->picture.picture) && !change.frameOwed) {
    deliverIdle();
    return std::nullopt;
  }
  if (whole) boxes = {PixelRect{0, 0, layout_.source.width, layout_.source.height}};
  if (!render(*grab, change, boxes, *buffer)) return readFailed(x11Error("the picture could not be converted"));
  delivered(std::move(buffer), *grab, change);
  return std::nullopt;
}

// Whether the kept picture holds the whole source: a source cut at the screen's edge does not.
bool CaptureLoop::keptIsWhole() const {
  return kept_ && kept_->picture.width == layout_.source.width && kept_->picture.height == layout_.source.height;
}

void CaptureLoop::delivered(PixelBufferRef buffer, const Grab& grab, const Change& change) {
  frameOwed_ = false;
  redrawWhole_ = false;
  damaged_.clear();
  shownCursor_.reset();
  if (change.cursor) shownCursor_ = *change.cursor;
  lastComplete_ = completeSample(std::move(buffer), grab);
  handOff(*lastComplete_);
}

// A hidden window's owed frame is its last picture again; otherwise nothing changed.
void CaptureLoop::repeatOrIdle(const Change& change) {
  if (!change.frameOwed || !lastComplete_) {
    deliverIdle(change.requested);
    return;
  }
  frameOwed_ = false;
  lastComplete_->presentationSeconds = monotonicSeconds();
  context_.counters.count(&X11StreamStats::framesDelivered);
  handOff(*lastComplete_);
}

CaptureLoop::Change CaptureLoop::detectChange() {
  Change change;
  if (configuration_.showsCursor) {
    const std::optional<CursorPicture>& cursor = cursor_->look();
    change.cursor = cursor ? &*cursor : nullptr;
  }
  if (source_->reportsDamage()) {
    std::vector<PixelRect> damage = source_->takeDamage(layout_.source);
    damaged_.insert(damaged_.end(), damage.begin(), damage.end());
  }
  if (context_.frameRequested.exchange(false)) {
    change.requested = true;
    frameOwed_ = true;
    // A fresh picture is asked for: one kept longer than damage is trusted is read again whole.
    if (Clock::now() - lastWholeRead_ >= longestTrust) redrawWhole_ = true;
  }
  change.cursorChanged = cursorChanged(shownCursor_, change.cursor, rootArea());
  change.frameOwed = frameOwed_ || change.cursorChanged;
  return change;
}

// Once in a while the kept picture is compared with the content whole: what damage left out
// becomes damage.
std::optional<Error> CaptureLoop::healMissedDamage() {
  if (!source_->reportsDamage() || !kept_ || redrawWhole_ || Clock::now() - lastWholeRead_ < longestTrust) {
    return std::nullopt;
  }
  lastWholeRead_ = Clock::now();
  Result<std::vector<PixelRect>> missed = source_->recheck();
  if (!missed) {
    redrawWhole_ = true;
    return readFailed(missed.error());
  }
  damaged_.insert(damaged_.end(), missed->begin(), missed->end());
  return std::nullopt;
}

// The parts of the source (relative to its corner) to draw again: the damage, and where the
// cursor was and is when it changed.
std::vector<PixelRect> CaptureLoop::boxesToDraw(const Change& change) const {
  std::vector<PixelRect> boxes;
  const PixelRect& source = layout_.source;
  for (const PixelRect& r : damaged_) boxes.push_back({r.x - source.x, r.y - source.y, r.width, r.height});
  if (change.cursorChanged) {
    // Root coordinates to the source's.
    const int x = content_.rootX + source.x;
    const int y = content_.rootY + source.y;
    for (const CursorPicture* cursor : {shownCursor_ ? &*shownCursor_ : nullptr, change.cursor}) {
      if (cursor) boxes.push_back({cursor->x - x, cursor->y - y, cursor->width, cursor->height});
    }
  }
  for (PixelRect& box : boxes) box = intersect(box, PixelRect{0, 0, source.width, source.height});
  return mergeBoxes(std::move(boxes), render::mostDamageBoxes);
}

Result<CaptureLoop::Grab> CaptureLoop::read() {
  cursorPatch_.restore();
  kept_.reset();
  Grab grab;
  grab.before = monotonicSeconds();
  Result<SourcePicture> picture = source_->read(layout_.source);
  grab.after = monotonicSeconds();
  if (!picture) return picture.error();
  grab.picture = *picture;
  kept_ = *picture;
  lastWholeRead_ = Clock::now();
  readFailures_.succeed();
  context_.counters.grabbed(grab.after - grab.before);
  return grab;
}

// Reads the damaged boxes (content pixels) into the kept picture; a source that reads only
// whole pictures reads it whole.
Result<CaptureLoop::Grab> CaptureLoop::readAgain(const std::vector<PixelRect>& boxes) {
  cursorPatch_.restore();
  Grab grab;
  grab.before = monotonicSeconds();
  Result<bool> reread = source_->reread(boxes);
  grab.after = monotonicSeconds();
  if (!reread) {
    kept_.reset();
    return reread.error();
  }
  if (!*reread) return read();
  grab.picture = *kept_;
  readFailures_.succeed();
  context_.counters.grabbed(grab.after - grab.before);
  return grab;
}

// Draws the cursor into the picture read, then scales and converts the boxes (source pixels) of it
// into the canvas, and the canvas into `buffer`.
bool CaptureLoop::render(const Grab& grab, const Change& change, const std::vector<PixelRect>& boxes,
                         PixelBuffer& buffer) {
  const BgrxView& picture = grab.picture.picture;
  if (change.cursor) {
    cursorPatch_.draw(source_->mutablePixels(), picture.bytesPerRow, picture.width, picture.height,
                      grab.picture.rootX, grab.picture.rootY, *change.cursor);
  }
  bool drawn = true;
  for (const PixelRect& box : boxes) {
    const PixelRect area = reachedPixels(layout_, box);
    drawn = drawn && (area.empty() || canvas_.drawPart(picture, area));
  }
  cursorPatch_.restore();
  if (!drawn || !canvas_.copyTo(buffer)) {
    redrawWhole_ = true;
    return false;
  }
  context_.counters.delivered(monotonicSeconds() - grab.after);
  return true;
}

// A failed tick is retried at the next one; a spell of failures ends the stream.
std::optional<Error> CaptureLoop::readFailed(const Error& reason) {
  if (connection_->broken()) return connectionLost();
  context_.counters.count(&X11StreamStats::grabFailures);
  return readFailures_.fail(reason, Clock::now());
}

// Without damage reports: whether the picture differs from the one read before, by its hash.
bool CaptureLoop::pictureChanged(const BgrxView& picture) {
  const std::uint64_t hash = sparseHash(picture);
  const bool changed = !lastHash_ || *lastHash_ != hash;
  lastHash_ = hash;
  return changed;
}

SampleBuffer CaptureLoop::completeSample(PixelBufferRef buffer, const Grab& grab) const {
  SampleBuffer sample;
  sample.imageBuffer = std::move(buffer);
  // The server copies the pixels somewhere inside the round trip; its middle is the best guess.
  sample.presentationSeconds = (grab.before + grab.after) / 2;
  sample.attachments = render::completeAttachments(layout_, 1.0);
  return sample;
}

// A tick with nothing new; the outputs hear of it at the idle interval, or at once when a frame
// was asked for and none can be given.
void CaptureLoop::deliverIdle(bool asked) {
  context_.counters.count(&X11StreamStats::idleFrames);
  if (asked || Clock::now() - lastHandOff_ >= idleInterval) handOff(idleSample(monotonicSeconds()));
}

void CaptureLoop::handOff(const SampleBuffer& sample) {
  lastHandOff_ = Clock::now();
  context_.outputs.deliver(sample);
}

}  // namespace pelorin::platform::x11
