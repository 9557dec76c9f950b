// The X11 capture backend against a live X server (the DISPLAY the tests run under, with the
// monitors LEFT 1920x1200+0+0 and RIGHT 1920x1080+1920+0).

#include <gtest/gtest.h>

#include <unistd.h>
#include <X11/cursorfont.h>

#include <chrono>
#include <random>
#include <thread>

#include "platform/x11/frame_render.h"
#include "platform/x11/screen_capture_x11.h"
#include "platform/x11_test_helpers.h"

namespace pelorin::platform::x11 {
namespace {

using namespace std::chrono_literals;
using pelorin::test::NewWindow;
using test::Collector;
using test::countStatus;
using test::expectColour;
using test::SampleRecord;
using test::sized;

constexpr unsigned long red = 0xff0000, green = 0x00ff00, blue = 0x0000ff, grey = 0x808080;

using X11CaptureTest = test::ServiceTest;

// Each monitor's own pixels are the streams' below (RIGHT's square at its local place) and the
// listing's thumbnails (tests/integration).
TEST_F(X11CaptureTest, ListsTheMonitorsInServerOrderAndRefusesWhatItCannot) {
  Result<ShareableContent> content = service_->shareableContent(false, true);
  ASSERT_TRUE(content.ok() && content->displays.size() == 2u);
  EXPECT_EQ(content->displays[0].name, "LEFT") << "server order: LEFT was set up first";
  Result<std::unique_ptr<X11WindowServer>> windowServer = X11WindowServer::create();
  ASSERT_TRUE(windowServer.ok());
  const Rect frames[] = {{0, 0, 1920, 1200}, {1920, 0, 1920, 1080}};
  EXPECT_EQ((*windowServer)->displayFrames(), std::vector<Rect>(std::begin(frames), std::end(frames)));
  for (std::size_t i = 0; i < 2; ++i) {
    const ShareableDisplay& d = content->displays[i];
    EXPECT_TRUE(d.frame == frames[i] && d.width == frames[i].width && d.height == frames[i].height) << d.name;
  }
  // No window streams here, no BGRA streams, no monitor that is not there.
  EXPECT_FALSE(service_->makeStream(service_->windowFilter({.windowID = 42}), sized(640, 400), nullptr).ok());
  StreamConfiguration bgra = sized(640, 400);
  bgra.pixelFormat = 0x42475241;
  EXPECT_FALSE(service_->makeStream(service_->displayFilter(display("LEFT")), bgra, nullptr).ok());
  EXPECT_FALSE(service_->makeStream(service_->displayFilter({.displayID = 777}), sized(640, 400), nullptr).ok());
}

// LEFT red with a green area at (200, 100) 400x300, RIGHT blue with a green square at its (500,
// 200): one stream letterboxed, cropped, cropped again into a frame of another shape, then moved to
// RIGHT, where the same crop takes RIGHT's own pixels.
TEST_F(X11CaptureTest, OneStreamLetterboxesCropsAndMovesToAnotherMonitor) {
  painter_.fill(0, 0, 1920, 1200, red);
  painter_.fill(200, 100, 400, 300, green);
  painter_.fill(1920, 0, 1920, 1080, blue);
  painter_.fill(1920 + 500, 200, 64, 64, green);
  auto collector = std::make_shared<Collector>();
  auto stream = startStream(service_->displayFilter(display("LEFT")), sized(1280, 720), collector);
  ASSERT_TRUE(stream);
  PixelBufferRef frame = collector->waitForPictureAfter(0);
  ASSERT_TRUE(frame);
  // 1920x1200 fitted into 1280x720 is 1152x720, 64 pixels of black each side (the bars' pixels are
  // the frame renderer's, pinned by its own test).
  expectColour(*frame, 64 + 240, 150, green, "the green area, scaled");
  EXPECT_EQ(collector->records().front().contentRect, (Rect{64, 0, 1152, 720}));
  frame.reset();

  // Changes apply before updateConfiguration returns: the next frame has them. Half green, half
  // red: 400x300 fits an 800x300 frame at its own size, centred, with bars of 200 either side.
  StreamConfiguration c = sized(800, 300);
  c.sourceRect = Rect{400, 100, 400, 300};
  ASSERT_TRUE(stream->updateConfiguration(c).ok());
  const double applied = monotonicSeconds();
  frame = collector->waitForPictureAfter(applied);
  ASSERT_TRUE(frame);
  ASSERT_EQ(frame->width(), 800);
  for (auto [x, rgb] : {std::pair{199, 0x000000ul}, {201, green}, {398, green}, {402, red}, {598, red}, {601, 0ul}}) {
    expectColour(*frame, x, 150, rgb, "across the crop");
  }
  for (const SampleRecord& r : collector->records()) {
    if (r.hasImage && r.presentationSeconds > applied) {
      EXPECT_EQ(r.contentRect, (Rect{200, 0, 400, 300})) << "a frame after the change kept the old layout";
    }
  }
  StreamConfiguration bad = c;
  bad.sourceRect = Rect{5000, 0, 10, 10};
  EXPECT_FALSE(stream->updateConfiguration(bad).ok());
  frame.reset();

  const double switched = monotonicSeconds();
  ASSERT_TRUE(stream->updateContentFilter(service_->displayFilter(display("RIGHT"))).ok());
  frame = collector->waitForPictureAfter(switched);
  ASSERT_TRUE(frame);
  expectColour(*frame, 400, 150, blue, "RIGHT");
  expectColour(*frame, 330, 130, green, "RIGHT's square at its own place");
  EXPECT_FALSE(stream->updateContentFilter(service_->displayFilter({.displayID = 12345})).ok());
  frame.reset();

  // Stopped, nothing more comes; it stops once, and starts again once.
  EXPECT_TRUE(stream->stopCapture().ok());
  queue_->sync([] {});
  const std::size_t delivered = collector->records().size();
  std::this_thread::sleep_for(100ms);
  queue_->sync([] {});
  EXPECT_EQ(collector->records().size(), delivered);
  EXPECT_FALSE(stream->stopCapture().ok()) << "stopping twice";
  ASSERT_TRUE(stream->startCapture().ok()) << "the stream can start again";
  EXPECT_FALSE(stream->startCapture().ok()) << "starting twice";
  EXPECT_TRUE(collector->waitForPictureAfter(monotonicSeconds() - 0.5));
  EXPECT_TRUE(collector->errors().empty());
}

// On a still screen only a change or a request brings a frame, with damage reports or a hash of
// the picture, and a request is still owed while every buffer is held.
TEST_F(X11CaptureTest, AStillScreenGivesIdleSamplesAndFramesOnlyOnChangeOrRequest) {
  const Window area = painter_.fill(0, 0, 1920, 1200, grey);
  const auto completes = [](Collector& c) { return countStatus(c.records(), FrameStatus::Complete); };
  for (const bool damage : {true, false}) {
    SCOPED_TRACE(damage ? "damage" : "hash, without shared memory");
    painter_.recolour(area, grey);
    auto service = X11ScreenCaptureService::create({.useSharedMemory = damage, .useDamage = damage});
    ASSERT_TRUE(service.ok());
    StreamConfiguration c = sized(320, 200);
    c.minimumFrameInterval = {1, 50};
    c.queueDepth = 2;
    c.sourceRect = Rect{0, 0, 320, 200};  // a corner: without damage every tick reads it whole
    auto collector = std::make_shared<Collector>(true);  // keeps every picture, so buffers stay in use
    auto stream = test::startStream(**service, (*service)->displayFilter(display("LEFT")), c, collector, queue_);
    ASSERT_TRUE(stream);
    ASSERT_TRUE(collector->waitFor([](const auto& r) { return countStatus(r, FrameStatus::Idle) >= 5; }));
    ASSERT_EQ(completes(*collector), 1) << "a still screen gave more than its first frame";
    std::vector<SampleRecord> records = collector->records();
    const X11StreamStats stats = dynamic_cast<X11CaptureStream&>(*stream).stats();
    EXPECT_EQ(stats.damage, damage);
    EXPECT_TRUE(damage ? stats.framesGrabbed <= 2u : stats.framesGrabbed >= 10u) << "reads of an idle screen";
    // No more than ten idle samples a second, by the samples' own clock: each wakes the outputs.
    const double span = records.back().presentationSeconds - records.front().presentationSeconds;
    EXPECT_LE(static_cast<double>(records.size() - 1), span * 10 + 1.5) << "idle samples at every tick";

    // On a still screen only a request brings a picture: one that is lost never comes. (How soon
    // one comes is the latency benchmark's.)
    const double asked = monotonicSeconds();
    stream->requestFrame();
    stream->requestFrame();  // asked twice before the tick: still one frame
    EXPECT_TRUE(collector->waitForPictureAfter(asked));
    // Every buffer is held now: the request is kept until one is free, while ticks go by without one.
    const auto skipped = [&] { return dynamic_cast<X11CaptureStream&>(*stream).stats().framesSkipped; };
    const auto before = skipped();
    stream->requestFrame();
    ASSERT_TRUE(pelorin::test::waitUntil([&] { return skipped() >= before + 2; }));
    EXPECT_EQ(completes(*collector), 2);
    const double released = monotonicSeconds();
    collector->releaseHeld();
    EXPECT_TRUE(collector->waitForPictureAfter(released)) << "the request was lost while no buffer was free";
    ASSERT_TRUE(collector->waitForTicks(10));
    EXPECT_EQ(completes(*collector), 3) << "one request, one frame";

    painter_.recolour(area, red);
    // The next picture, by order not time: a read begun before the change may show it, stamped before it.
    ASSERT_TRUE(collector->waitFor([](const auto& r) { return countStatus(r, FrameStatus::Complete) > 3; }));
    PixelBufferRef frame = collector->waitForPictureAfter(0);
    expectColour(*frame, 160, 100, red, "after the change");
    frame.reset();
    collector->releaseHeld();

    EXPECT_TRUE(stream->stopCapture().ok());
  }
}

// A window over both monitors showing noise: a pixel drawn from the wrong place shows.
void fillWithNoise(test::Painter& painter) {
  Display* display = painter.display();
  constexpr int width = 253, height = 241;  // a tile repeating at no multiple of a scale
  std::vector<std::uint32_t> noise(width * height);
  std::minstd_rand random(7);
  for (std::uint32_t& pixel : noise) pixel = static_cast<std::uint32_t>(random()) & 0xffffff;
  XImage* image = XCreateImage(display, DefaultVisual(display, 0), 24, ZPixmap, 0, reinterpret_cast<char*>(noise.data()),
                               width, height, 32, 0);
  const Pixmap tile = XCreatePixmap(display, DefaultRootWindow(display), width, height, 24);
  XPutImage(display, tile, DefaultGC(display, 0), image, 0, 0, 0, 0, width, height);
  image->data = nullptr;
  XDestroyImage(image);
  const Window window = painter.fill(0, 0, 3840, 1200, 0);
  XSetWindowBackgroundPixmap(display, window, tile);
  XFreePixmap(display, tile);
  painter.recolour(window, 0);  // cleared: the tile shows
}

// After each partial change the frame the stream hands on is the screen converted whole, within
// one step a sample, cursor included (its moves and a new shape make no damage, yet they are
// changes); with damage reports dropped, the periodic check brings it, the cursor on RIGHT.
TEST_F(X11CaptureTest, FramesAfterPartialChangesEqualTheScreenConvertedWhole) {
  fillWithNoise(painter_);
  StreamConfiguration c = sized(1280, 720);  // LEFT letterboxed: 64 pixels of bars each side
  c.showsCursor = true;
  c.queueDepth = 8;
  const auto expectScreen = [&](X11ScreenCaptureService& service, const ShareableDisplay& d, Collector& collector,
                                double since) {
    PixelBufferRef frame = collector.waitForFirstPictureAfter(since);
    ASSERT_TRUE(frame) << "no frame after the change";
    Result<Image> screen = service_->captureImage(service.displayFilter(d), {d.width, d.height, true});
    const FrameLayout layout = *computeLayout(d.width, d.height, c);
    const PixelRect& s = layout.source;
    const BgrxView view{screen->pixels.data() + s.y * screen->bytesPerRow + s.x * 4, screen->bytesPerRow, s.width, s.height};
    PixelBufferRef whole = NV12BufferPool::create(c.width, c.height, 1)->makeBuffer();
    std::vector<std::uint8_t> scratch;
    ASSERT_TRUE(renderFrame(view, layout, *whole, scratch));
    const auto [difference, where] = pelorin::test::largestDifference(*frame, *whole);
    EXPECT_LE(difference, 1) << "on row " << where;
    collector.releaseHeld();
  };
  const ShareableDisplay left = display("LEFT");
  auto collector = std::make_shared<Collector>(true);
  auto stream = startStream(service_->displayFilter(left), c, collector);
  ASSERT_TRUE(stream);
  Window under = None;
  const struct {
    const char* what;
    std::function<void()> change;
  } steps[] = {
      {"the cursor moves", [&] { painter_.warpPointer(700, 700); }},
      {"a change under the cursor", [&] { under = painter_.fill(690, 690, 40, 40, red); }},
      {"a new cursor shape", [&] {
         XDefineCursor(painter_.display(), under, XCreateFontCursor(painter_.display(), XC_hand2));
         XSync(painter_.display(), False);
       }},
      {"a square at odd places", [&] { painter_.fill(301, 403, 63, 65, green); }},
      {"at the letterbox's edge", [&] { painter_.fill(0, 600, 3, 300, blue); }},
      {"across the monitors' boundary", [&] { painter_.fill(1877, 1150, 80, 50, green); }},
      {"a new configuration", [&] {
         c.sourceRect = Rect{101, 99, 640, 360};  // enlarged twice
         ASSERT_TRUE(stream->updateConfiguration(c).ok());
       }},
      {"a change after it", [&] { painter_.fill(401, 301, 50, 50, blue); }},
  };
  // Two idle samples in a row: the stream has nothing more to show.
  const auto settled = [](const auto& r) {
    return r.size() >= 2 && r.back().status == FrameStatus::Idle && r[r.size() - 2].status == FrameStatus::Idle;
  };
  expectScreen(*service_, left, *collector, 0);
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    ASSERT_TRUE(collector->waitFor(settled));
    const double before = monotonicSeconds();
    step.change();
    expectScreen(*service_, left, *collector, before);
  }
  ASSERT_TRUE(stream->stopCapture().ok());

  auto lying = X11ScreenCaptureService::create({.dropDamageReports = true});
  ASSERT_TRUE(lying.ok());
  const ShareableDisplay right = display("RIGHT");
  painter_.warpPointer(1920 + 333, 444);
  c.sourceRect.reset();
  collector = std::make_shared<Collector>(true);
  stream = test::startStream(**lying, (*lying)->displayFilter(right), c, collector, queue_);
  ASSERT_TRUE(stream);
  expectScreen(**lying, right, *collector, 0);
  const double before = monotonicSeconds();
  painter_.fill(1920 + 333, 222, 100, 100, red);
  expectScreen(**lying, right, *collector, before);
}

// Older clients publish only WM_NAME, in Latin-1 or COMPOUND_TEXT (xterm); titles are UTF-8, and
// _NET_WM_NAME wins where both are set.
TEST_F(X11CaptureTest, ListsManagedWindowsFrontToBackWithTheirFramesAndTitles) {
  using Legacy = NewWindow::LegacyTitle;
  const struct {
    NewWindow window;
    std::string title;
  } cases[] = {
      {{.title = "pelorin \xc3\xa9", .wmClass = "PelorinTest", .pid = getpid(), .legacyTitle = Legacy{"STRING", "old"}},
       "pelorin \xc3\xa9"},
      {{.legacyTitle = Legacy{"STRING", "Caf\xe9 cr\xe8me"}}, "Caf\xc3\xa9 cr\xc3\xa8me"},
      {{.legacyTitle = Legacy{"COMPOUND_TEXT", "Caf\xe9"}}, "Caf\xc3\xa9"},  // GR holds Latin-1 until told otherwise
      {{.legacyTitle = Legacy{"COMPOUND_TEXT", "\x1b-F\xe1\xe2\xe3 \x1b-AOK\xe9"}},
       "\xce\xb1\xce\xb2\xce\xb3 OK\xc3\xa9"},  // Greek, then Latin-1
      {{.legacyTitle = Legacy{"COMPOUND_TEXT", "\x1b$)B\xa4\xa2\x1b(B-1"}}, "\xe3\x81\x82-1"},  // JIS X 0208, ASCII
      {{.legacyTitle = Legacy{"UTF8_STRING", "\xe2\x82\xac 5"}}, "\xe2\x82\xac 5"},
  };
  std::vector<Window> made;
  for (const auto& c : cases) ASSERT_TRUE(painter_.waitManaged(made.emplace_back(painter_.create(c.window))));
  // Every window listed, each newer one in front; the stacking list follows the window manager's
  // restacking a moment later.
  Result<ShareableContent> content = service_->shareableContent(false, true);
  std::vector<const ShareableWindow*> found;
  ASSERT_TRUE(pelorin::test::waitUntil([&] {
    content = service_->shareableContent(false, true);
    found.clear();
    for (Window window : made) {
      const auto it = std::find_if(content->windows.begin(), content->windows.end(),
                                   [&](const ShareableWindow& w) { return w.windowID == window; });
      if (it == content->windows.end() || (!found.empty() && &*it >= found.back())) return false;
      found.push_back(&*it);
    }
    return true;
  }));
  for (std::size_t i = 0; i < made.size(); ++i) EXPECT_EQ(found[i]->title, cases[i].title) << "case " << i;
  const ShareableWindow& first = *found[0];
  EXPECT_TRUE(first.windowLayer == 0 && first.onScreen);
  ASSERT_TRUE(first.owningApplication);
  EXPECT_EQ(first.owningApplication->processID, getpid());
  EXPECT_EQ(first.owningApplication->applicationName, "PelorinTest");
  // Decorations make the frame larger than the 400x300 client area.
  EXPECT_TRUE(first.frame.height > 300 && first.frame.width >= 400);
  Result<std::unique_ptr<X11WindowServer>> windowServer = X11WindowServer::create();
  ASSERT_TRUE(windowServer.ok());
  EXPECT_EQ((*windowServer)->windowBounds(made[0]), (WindowBounds{first.frame, first.client}));
  EXPECT_EQ((*windowServer)->windowBounds(0x7ffffff), std::nullopt);
}

}  // namespace
}  // namespace pelorin::platform::x11
