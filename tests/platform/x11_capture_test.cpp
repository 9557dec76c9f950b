// The X11 capture backend against a live X server (the DISPLAY the tests run under, with the
// monitors LEFT 1920x1200+0+0 and RIGHT 1920x1080+1920+0).

#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/x11/screen_capture_x11.h"
#include "platform/x11_test_helpers.h"
#include "support/x11_windows.h"

namespace pelorin::platform::x11 {
namespace {

using namespace std::chrono_literals;
using test::Collector;
using test::expectColour;
using test::RecordingDelegate;
using test::countStatus;
using pelorin::test::bt601;
using test::Painter;
using test::SampleRecord;
using test::yuvAt;

constexpr unsigned long red = 0xff0000;
constexpr unsigned long green = 0x00ff00;
constexpr unsigned long blue = 0x0000ff;
constexpr unsigned long grey = 0x808080;

class X11CaptureTest : public test::ServiceTest {
 protected:
  void SetUp() override {
    test::ServiceTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    // The pointer stays away from what the tests look at unless a test moves it.
    painter_.warpPointer(5, 1195);
  }

  ShareableDisplay display(const std::string& name) {
    Result<ShareableContent> content = service_->shareableContent(false, true);
    EXPECT_TRUE(content.ok());
    if (content.ok()) {
      for (const auto& d : content->displays) {
        if (d.name == name) return d;
      }
    }
    ADD_FAILURE() << "no display " << name;
    return {};
  }

  // A started stream of `display` whose samples go to `collector`.
  std::unique_ptr<CaptureStream> start(const ShareableDisplay& d, const StreamConfiguration& c,
                                       std::shared_ptr<Collector> collector, StreamDelegate* delegate = nullptr,
                                       X11ScreenCaptureService* service = nullptr) {
    return startStream((service ? service : service_.get())->displayFilter(d), c, std::move(collector), delegate,
                       service);
  }

  static X11StreamStats statsOf(CaptureStream& stream) { return dynamic_cast<X11CaptureStream&>(stream).stats(); }
};

TEST_F(X11CaptureTest, ListsTheMonitorsWithTheirFramesAndNames) {
  Result<ShareableContent> content = service_->shareableContent(false, true);
  ASSERT_TRUE(content.ok());
  const ShareableDisplay left = display("LEFT");
  const ShareableDisplay right = display("RIGHT");
  EXPECT_EQ(left.frame, (Rect{0, 0, 1920, 1200}));
  EXPECT_EQ(left.width, 1920);
  EXPECT_EQ(left.height, 1200);
  EXPECT_EQ(right.frame, (Rect{1920, 0, 1920, 1080}));
  EXPECT_NE(left.displayID, right.displayID);
  EXPECT_NE(left.displayID, 0u);
  // Server order: LEFT was set up first.
  ASSERT_GE(content->displays.size(), 2u);
  EXPECT_EQ(content->displays[0].name, "LEFT");

  const ContentFilter filter = service_->displayFilter(right);
  EXPECT_EQ(filter.kind, ContentFilter::Kind::Display);
  EXPECT_EQ(filter.displayID, right.displayID);
  EXPECT_EQ(filter.contentRect, right.frame);
  EXPECT_DOUBLE_EQ(filter.pointPixelScale, 1.0);

  Result<std::unique_ptr<X11WindowServer>> windowServer = X11WindowServer::create();
  ASSERT_TRUE(windowServer.ok());
  const std::vector<Rect> frames = (*windowServer)->displayFrames();
  ASSERT_EQ(frames.size(), content->displays.size());
  for (std::size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(frames[i], content->displays[i].frame);
}

TEST_F(X11CaptureTest, CapturesEachMonitorsOwnPixels) {
  painter_.fill(0, 0, 1920, 1200, red);
  painter_.fill(1920, 0, 1920, 1200, blue);
  // A green square straddling nothing: on RIGHT only, at its local (100, 200).
  painter_.fill(1920 + 100, 200, 64, 64, green);
  for (const auto& [name, colour] : {std::pair{std::string("LEFT"), red}, std::pair{std::string("RIGHT"), blue}}) {
    const ShareableDisplay d = display(name);
    auto collector = std::make_shared<Collector>();
    auto stream = start(d, configuration(d.width, d.height), collector);
    ASSERT_TRUE(stream);
    PixelBufferRef frame = collector->waitForPictureAfter(0);
    ASSERT_TRUE(frame) << name;
    ASSERT_EQ(frame->width(), d.width);
    ASSERT_EQ(frame->height(), d.height);
    expectColour(*frame, 0, 0, colour, name + " corner");
    expectColour(*frame, d.width - 1, d.height - 1, colour, name + " far corner");
    expectColour(*frame, d.width / 2, d.height / 2, colour, name + " middle");
    if (name == "RIGHT") {
      expectColour(*frame, 130, 230, green, "square on RIGHT");
      expectColour(*frame, 98, 230, colour, "left of the square");
    }
    const SampleRecord first = collector->records().front();
    EXPECT_EQ(first.status, static_cast<int>(FrameStatus::Complete));
    ASSERT_TRUE(first.contentRect);
    EXPECT_EQ(*first.contentRect, (Rect{0, 0, static_cast<double>(d.width), static_cast<double>(d.height)}));
    EXPECT_EQ(first.scaleFactor, std::optional<double>(1.0));
    EXPECT_EQ(first.contentScale, std::optional<double>(1.0));
    EXPECT_TRUE(stream->stopCapture().ok());
  }
}

TEST_F(X11CaptureTest, LetterboxesIntoAFrameOfAnotherShape) {
  painter_.fill(0, 0, 1920, 1200, red);
  auto collector = std::make_shared<Collector>();
  auto stream = start(display("LEFT"), configuration(1280, 720), collector);
  ASSERT_TRUE(stream);
  PixelBufferRef frame = collector->waitForPictureAfter(0);
  ASSERT_TRUE(frame);
  // 1920x1200 fitted into 1280x720 is 1152x720, 64 pixels of black each side.
  for (int y : {0, 360, 719}) {
    expectColour(*frame, 0, y, 0x000000, "left bar");
    expectColour(*frame, 63, y, 0x000000, "left bar edge");
    expectColour(*frame, 64, y, red, "content edge");
    expectColour(*frame, 1215, y, red, "content far edge");
    expectColour(*frame, 1216, y, 0x000000, "right bar");
  }
  const SampleRecord first = collector->records().front();
  ASSERT_TRUE(first.contentRect);
  EXPECT_EQ(*first.contentRect, (Rect{64, 0, 1152, 720}));
  ASSERT_TRUE(first.contentScale);
  EXPECT_DOUBLE_EQ(*first.contentScale, 0.6);
}

TEST_F(X11CaptureTest, CropsToTheSourceRectangleAndAppliesChangesBeforeReturning) {
  painter_.fill(0, 0, 1920, 1200, blue);
  painter_.fill(200, 100, 400, 300, green);
  StreamConfiguration c = configuration(400, 300);
  c.sourceRect = Rect{200, 100, 400, 300};
  auto collector = std::make_shared<Collector>();
  auto stream = start(display("LEFT"), c, collector);
  ASSERT_TRUE(stream);
  PixelBufferRef frame = collector->waitForPictureAfter(0);
  ASSERT_TRUE(frame);
  for (auto [x, y] : {std::pair{0, 0}, std::pair{399, 0}, std::pair{0, 299}, std::pair{399, 299}, std::pair{200, 150}}) {
    expectColour(*frame, x, y, green, "inside the crop");
  }
  frame.reset();

  // Half green, half blue: the crop moved 200 points to the right, into a 800x300 frame.
  c.sourceRect = Rect{400, 100, 400, 300};
  c.width = 800;
  Result<void> updated = stream->updateConfiguration(c);
  ASSERT_TRUE(updated.ok()) << updated.error().message;
  const double applied = test::monotonicNow();
  frame = collector->waitForPictureAfter(applied);
  ASSERT_TRUE(frame);
  ASSERT_EQ(frame->width(), 800);
  // 400x300 fits an 800x300 frame at its own size, centred: bars of 200 either side.
  expectColour(*frame, 100, 150, 0x000000, "left bar");
  expectColour(*frame, 210, 150, green, "left half of the crop");
  expectColour(*frame, 590, 150, blue, "right half of the crop");
  expectColour(*frame, 700, 150, 0x000000, "right bar");
  const std::vector<SampleRecord> records = collector->records();
  for (const SampleRecord& r : records) {
    if (r.hasImage && r.presentationSeconds > applied) {
      ASSERT_TRUE(r.contentRect);
      EXPECT_EQ(*r.contentRect, (Rect{200, 0, 400, 300})) << "a frame after the change kept the old layout";
    }
  }
  StreamConfiguration bad = c;
  bad.sourceRect = Rect{5000, 0, 10, 10};
  EXPECT_FALSE(stream->updateConfiguration(bad).ok());
}

TEST_F(X11CaptureTest, AnUnchangingScreenGivesIdleSamplesAndChangesGiveFrames) {
  const Window area = painter_.fill(0, 0, 1920, 1200, grey);
  StreamConfiguration c = configuration(960, 600);
  c.minimumFrameInterval = {1, 50};
  auto collector = std::make_shared<Collector>();
  auto stream = start(display("LEFT"), c, collector);
  ASSERT_TRUE(stream);
  ASSERT_TRUE(collector->waitFor([](const auto& r) { return countStatus(r, FrameStatus::Idle) >= 20; }));
  X11StreamStats stats = statsOf(*stream);
  EXPECT_TRUE(stats.damage);
  EXPECT_LE(stats.framesGrabbed, 2u) << "an idle screen was read again";
  EXPECT_EQ(stats.framesDelivered, stats.framesGrabbed);
  for (const SampleRecord& r : collector->records()) {
    if (r.status == static_cast<int>(FrameStatus::Idle)) {
      EXPECT_FALSE(r.hasImage);
    }
  }
  // Samples come no faster than the minimum interval: one tick per 20 ms of their span.
  const std::vector<SampleRecord> records = collector->records();
  const double span = records.back().presentationSeconds - records.front().presentationSeconds;
  EXPECT_LE(static_cast<double>(records.size() - 1), span * 50 + 1.5);
  EXPECT_GE(static_cast<double>(records.size() - 1), span * 50 * 0.5) << "ticks were missed";

  const double before = test::monotonicNow();
  painter_.recolour(area, red);
  PixelBufferRef frame = collector->waitForPictureAfter(before);
  ASSERT_TRUE(frame) << "a change brought no frame";
  expectColour(*frame, 480, 300, red, "after the change");
  EXPECT_GT(statsOf(*stream).framesGrabbed, stats.framesGrabbed);

  // Damage on another monitor is not a change of this one.
  painter_.fill(1920, 0, 1920, 1080, green);
  const std::uint64_t grabbed = statsOf(*stream).framesGrabbed;
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(statsOf(*stream).framesGrabbed, grabbed);
}

TEST_F(X11CaptureTest, WithoutDamageAHashStillTellsIdleFromChange) {
  X11CaptureOptions options;
  options.useDamage = false;
  options.useSharedMemory = false;  // the XGetImage fallback too
  Result<std::unique_ptr<X11ScreenCaptureService>> plain = X11ScreenCaptureService::create(options);
  ASSERT_TRUE(plain.ok());
  const Window area = painter_.fill(0, 0, 1920, 1200, grey);
  auto collector = std::make_shared<Collector>();
  StreamConfiguration c = configuration(640, 400);
  c.minimumFrameInterval = {1, 50};
  // A corner of the monitor: every tick reads it whole, which under ThreadSanitizer is slow.
  c.sourceRect = Rect{0, 0, 320, 200};
  auto stream = start(display("LEFT"), c, collector, nullptr, plain->get());
  ASSERT_TRUE(stream);
  ASSERT_TRUE(collector->waitFor([](const auto& r) { return countStatus(r, FrameStatus::Idle) >= 10; }));
  X11StreamStats stats = statsOf(*stream);
  EXPECT_FALSE(stats.damage);
  EXPECT_FALSE(stats.sharedMemory);
  EXPECT_GE(stats.framesGrabbed, 10u);
  EXPECT_EQ(stats.framesDelivered, 1u);
  const double before = test::monotonicNow();
  painter_.recolour(area, blue);
  PixelBufferRef frame = collector->waitForPictureAfter(before);
  ASSERT_TRUE(frame);
  expectColour(*frame, 320, 200, blue, "after the change");
}

// On a still screen only a request brings a frame: at the next tick, with or without damage
// reports, and still owed while every buffer is held.
TEST_F(X11CaptureTest, ARequestedFrameComesFreshOnAStillScreenAndWaitsForAFreeBuffer) {
  painter_.fill(0, 0, 1920, 1200, grey);
  const auto completes = [](Collector& c) { return countStatus(c.records(), FrameStatus::Complete); };
  // A picture within two frame intervals (of 50 ms), with room for a loaded machine.
  const auto comesPromptly = [](Collector& c, double since) {
    return c.waitForPictureAfter(since, 2000ms) && c.records().back().presentationSeconds - since <= 0.2;
  };
  for (const bool damage : {true, false}) {
    SCOPED_TRACE(damage ? "damage" : "hash");
    Result<std::unique_ptr<X11ScreenCaptureService>> service = X11ScreenCaptureService::create({.useDamage = damage});
    ASSERT_TRUE(service.ok());
    StreamConfiguration c = configuration(320, 200);
    c.minimumFrameInterval = {1, 20};
    c.queueDepth = 2;
    auto collector = std::make_shared<Collector>(true);  // keeps every picture, so buffers stay in use
    auto stream = start(display("LEFT"), c, collector, nullptr, service->get());
    ASSERT_TRUE(stream);
    ASSERT_TRUE(collector->waitFor([](const auto& r) { return countStatus(r, FrameStatus::Idle) >= 5; }));
    ASSERT_EQ(completes(*collector), 1) << "a still screen gave more than its first frame";

    const double asked = test::monotonicNow();
    stream->requestFrame();
    stream->requestFrame();  // asked twice before the tick: still one frame
    EXPECT_TRUE(comesPromptly(*collector, asked));
    // Every buffer is held now: the request is kept until one is free.
    stream->requestFrame();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(completes(*collector), 2);
    EXPECT_GT(statsOf(*stream).framesSkipped, 0u);
    const double released = test::monotonicNow();
    collector->releaseHeld();
    EXPECT_TRUE(comesPromptly(*collector, released)) << "the request was lost while no buffer was free";
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(completes(*collector), 3) << "one request, one frame";
    EXPECT_TRUE(stream->stopCapture().ok());
  }
}

// The largest luma difference between two frames in a square around (x, y).
int lumaDifference(PixelBuffer& a, PixelBuffer& b, int x, int y, int radius) {
  int largest = 0;
  for (int j = y - radius; j <= y + radius; ++j) {
    for (int i = x - radius; i <= x + radius; ++i) largest = std::max(largest, std::abs(yuvAt(a, i, j).y - yuvAt(b, i, j).y));
  }
  return largest;
}

TEST_F(X11CaptureTest, DrawsTheCursorWhereThePointerIsOnTheSecondMonitor) {
  painter_.fill(1920, 0, 1920, 1080, grey);
  const ShareableDisplay right = display("RIGHT");
  painter_.warpPointer(1920 + 600, 400);
  StreamConfiguration c = configuration(right.width, right.height);
  auto without = std::make_shared<Collector>();
  auto plainStream = start(right, c, without);
  ASSERT_TRUE(plainStream);
  PixelBufferRef plainFrame = without->waitForPictureAfter(0);
  ASSERT_TRUE(plainFrame);
  ASSERT_TRUE(plainStream->stopCapture().ok());

  c.showsCursor = true;
  auto with = std::make_shared<Collector>();
  auto cursorStream = start(right, c, with);
  ASSERT_TRUE(cursorStream);
  PixelBufferRef cursorFrame = with->waitForPictureAfter(0);
  ASSERT_TRUE(cursorFrame);
  EXPECT_GT(lumaDifference(*plainFrame, *cursorFrame, 600, 400, 6), 40) << "no cursor at the pointer";
  EXPECT_EQ(lumaDifference(*plainFrame, *cursorFrame, 300, 800, 30), 0) << "the picture differs away from the pointer";
  expectColour(*plainFrame, 600, 400, grey, "no cursor without showsCursor");

  // Pointer motion alone makes no damage, yet it is a change when the cursor is shown.
  ASSERT_TRUE(with->waitFor([](const auto& r) { return countStatus(r, FrameStatus::Idle) >= 3; }));
  const double before = test::monotonicNow();
  painter_.warpPointer(1920 + 900, 700);
  PixelBufferRef moved = with->waitForPictureAfter(before);
  ASSERT_TRUE(moved) << "moving the pointer brought no frame";
  EXPECT_GT(lumaDifference(*plainFrame, *moved, 900, 700, 6), 40);
  EXPECT_EQ(lumaDifference(*plainFrame, *moved, 600, 400, 3), 0) << "the cursor stayed at its old place";
}

TEST_F(X11CaptureTest, SkipsFramesWhileEveryBufferIsHeld) {
  const Window area = painter_.fill(0, 0, 1920, 1200, grey);
  std::atomic<bool> painting{true};
  // A screen that changes all the time, so every tick wants a frame.
  std::thread animator([&] {
    Painter own;
    const Window w = own.fill(0, 0, 200, 200, red);
    for (unsigned long i = 0; painting; ++i) {
      own.recolour(w, (i % 2) ? red : blue);
      std::this_thread::sleep_for(10ms);
    }
  });
  StreamConfiguration c = configuration(640, 400);
  c.queueDepth = 2;
  c.minimumFrameInterval = {1, 60};
  auto holder = std::make_shared<Collector>(true);
  auto stream = start(display("LEFT"), c, holder);
  ASSERT_TRUE(stream);
  std::this_thread::sleep_for(600ms);
  X11StreamStats stats = statsOf(*stream);
  const auto images = [](const std::vector<SampleRecord>& records) {
    int n = 0;
    for (const auto& r : records) n += r.hasImage;
    return n;
  };
  EXPECT_EQ(images(holder->records()), 2) << "more frames than buffers in use at once";
  EXPECT_EQ(stats.framesDelivered, 2u);
  EXPECT_GT(stats.framesSkipped, 10u);
  holder->releaseHeld();
  EXPECT_TRUE(holder->waitFor([&](const auto& r) { return images(r) >= 4; })) << "frames did not resume";
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(stream->stopCapture().ok());
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms);
  painting = false;
  animator.join();
  (void)area;
}

TEST_F(X11CaptureTest, StopCaptureReturnsPromptlyAndEndsDelivery) {
  painter_.fill(0, 0, 1920, 1200, grey);
  StreamConfiguration c = configuration(320, 200);
  c.minimumFrameInterval = {2, 1};  // one frame every two seconds
  auto collector = std::make_shared<Collector>();
  RecordingDelegate delegate;
  auto stream = start(display("LEFT"), c, collector, &delegate);
  ASSERT_TRUE(stream);
  ASSERT_TRUE(collector->waitForPictureAfter(0));
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(stream->stopCapture().ok());
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 200ms) << "stop waited for the next frame";
  queue_->sync([] {});
  const std::size_t delivered = collector->records().size();
  std::this_thread::sleep_for(100ms);
  queue_->sync([] {});
  EXPECT_EQ(collector->records().size(), delivered);
  EXPECT_TRUE(delegate.errors().empty());
  EXPECT_FALSE(stream->stopCapture().ok()) << "stopping twice";
  // The stream can start again.
  ASSERT_TRUE(stream->startCapture().ok());
  EXPECT_FALSE(stream->startCapture().ok()) << "starting twice";
  const double restarted = test::monotonicNow();
  EXPECT_TRUE(collector->waitForPictureAfter(restarted - 0.5));
  EXPECT_TRUE(stream->stopCapture().ok());
}

TEST_F(X11CaptureTest, MovesToAnotherDisplayWhenTheFilterChanges) {
  painter_.fill(0, 0, 1920, 1200, red);
  painter_.fill(1920, 0, 1920, 1080, blue);
  auto collector = std::make_shared<Collector>();
  auto stream = start(display("LEFT"), configuration(640, 400), collector);
  ASSERT_TRUE(stream);
  PixelBufferRef frame = collector->waitForPictureAfter(0);
  ASSERT_TRUE(frame);
  expectColour(*frame, 320, 200, red, "LEFT");
  frame.reset();
  ASSERT_TRUE(stream->updateContentFilter(service_->displayFilter(display("RIGHT"))).ok());
  frame = collector->waitForPictureAfter(test::monotonicNow());
  ASSERT_TRUE(frame);
  expectColour(*frame, 320, 200, blue, "RIGHT");
  ShareableDisplay missing;
  missing.displayID = 12345;
  EXPECT_FALSE(stream->updateContentFilter(service_->displayFilter(missing)).ok());
}

TEST_F(X11CaptureTest, RefusesWhatItCannotCapture) {
  const ShareableDisplay left = display("LEFT");
  ShareableWindow window;
  window.windowID = 42;
  Result<std::unique_ptr<CaptureStream>> stream =
      service_->makeStream(service_->windowFilter(window), configuration(640, 400), nullptr);
  ASSERT_FALSE(stream.ok());
  EXPECT_EQ(stream.error().domain, "X11Capture");
  StreamConfiguration bgra = configuration(640, 400);
  bgra.pixelFormat = 0x42475241;
  EXPECT_FALSE(service_->makeStream(service_->displayFilter(left), bgra, nullptr).ok());
  ShareableDisplay missing;
  missing.displayID = 777;
  EXPECT_FALSE(service_->makeStream(service_->displayFilter(missing), configuration(640, 400), nullptr).ok());
}

TEST_F(X11CaptureTest, CapturesAScaledImage) {
  painter_.fill(1920, 0, 1920, 1080, green);
  ScreenshotConfiguration c;
  c.width = 480;
  c.height = 270;
  Result<Image> image = service_->captureImage(service_->displayFilter(display("RIGHT")), c);
  ASSERT_TRUE(image.ok()) << image.error().message;
  EXPECT_EQ(image->width, 480);
  EXPECT_EQ(image->height, 270);
  ASSERT_EQ(image->pixels.size(), image->bytesPerRow * 270);
  for (auto [x, y] : {std::pair{0, 0}, std::pair{479, 269}, std::pair{240, 135}}) {
    const std::uint8_t* p = image->pixels.data() + y * image->bytesPerRow + x * 4;
    EXPECT_EQ(p[0], 0x00);
    EXPECT_EQ(p[1], 0xff);
    EXPECT_EQ(p[2], 0x00);
    EXPECT_EQ(p[3], 0xff);
  }
}

}  // namespace
}  // namespace pelorin::platform::x11

namespace pelorin::platform::x11 {
namespace {

// A window the window manager decorates, with the properties a shareable window is built from.
Window managedWindow(Display* display, const std::string& title, int x, int y) {
  const Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), x, y, 300, 200, 0, 0, 0x445566);
  XStoreName(display, window, "legacy title");
  const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
  XChangeProperty(display, window, XInternAtom(display, "_NET_WM_NAME", False), utf8, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(title.data()), static_cast<int>(title.size()));
  const long pid = getpid();
  XChangeProperty(display, window, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&pid), 1);
  XClassHint hint;
  std::string name = "pelorin-test";
  std::string cls = "PelorinTest";
  hint.res_name = name.data();
  hint.res_class = cls.data();
  XSetClassHint(display, window, &hint);
  XSizeHints size{};
  size.flags = USPosition | USSize;
  size.x = x;
  size.y = y;
  XSetWMNormalHints(display, window, &size);
  XMapRaised(display, window);
  XSync(display, False);
  return window;
}

const ShareableWindow* findWindow(const ShareableContent& content, Window window) {
  for (const auto& w : content.windows) {
    if (w.windowID == window) return &w;
  }
  return nullptr;
}

TEST_F(X11CaptureTest, ListsManagedWindowsFrontToBackWithTheirFrames) {
  Display* display = painter_.display();
  const Window lower = managedWindow(display, "pelorin lower \xc3\xa9", 200, 150);
  std::this_thread::sleep_for(200ms);
  const Window upper = managedWindow(display, "pelorin upper", 260, 190);
  Result<ShareableContent> content = service_->shareableContent(false, true);
  // The window manager takes a moment to adopt and decorate new windows.
  for (int i = 0; i < 50; ++i) {
    content = service_->shareableContent(false, true);
    ASSERT_TRUE(content.ok());
    const ShareableWindow* a = findWindow(*content, lower);
    const ShareableWindow* b = findWindow(*content, upper);
    // The stacking list follows the window manager's restacking a moment later.
    if (a && b && a->frame.height > 200 && b->frame.height > 200 && b < a) break;
    std::this_thread::sleep_for(100ms);
  }
  const ShareableWindow* a = findWindow(*content, lower);
  const ShareableWindow* b = findWindow(*content, upper);
  ASSERT_TRUE(a && b) << "windows not listed";
  EXPECT_LT(b - content->windows.data(), a - content->windows.data()) << "the newer window is in front";
  EXPECT_EQ(a->title, std::optional<std::string>("pelorin lower \xc3\xa9"));
  EXPECT_EQ(a->windowLayer, 0);
  EXPECT_TRUE(a->onScreen);
  ASSERT_TRUE(a->owningApplication);
  EXPECT_EQ(a->owningApplication->processID, getpid());
  EXPECT_EQ(a->owningApplication->applicationName, "PelorinTest");
  // Decorations make the frame larger than the 300x200 client area and put it around it.
  EXPECT_GT(a->frame.height, 200);
  EXPECT_GE(a->frame.width, 300);

  Result<std::unique_ptr<X11WindowServer>> windowServer = X11WindowServer::create();
  ASSERT_TRUE(windowServer.ok());
  EXPECT_EQ((*windowServer)->windowBounds(lower), std::optional<Rect>(a->frame));
  XMoveWindow(display, upper, 700, 500);
  XSync(display, False);
  std::optional<Rect> moved;
  for (int i = 0; i < 50; ++i) {
    moved = (*windowServer)->windowBounds(upper);
    if (moved && moved->x != b->frame.x) break;
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_TRUE(moved);
  EXPECT_NE(moved->x, b->frame.x) << "bounds did not follow the move";
  EXPECT_EQ(moved->width, b->frame.width);
  EXPECT_EQ((*windowServer)->windowBounds(0x7ffffff), std::nullopt);
  XDestroyWindow(display, lower);
  XDestroyWindow(display, upper);
  XSync(display, False);
}

// Older clients publish only WM_NAME, in Latin-1 or COMPOUND_TEXT (xterm); titles are UTF-8.
TEST_F(X11CaptureTest, DecodesLegacyWindowTitlesToUtf8) {
  const struct {
    const char* encoding;
    std::string bytes;
    std::string title;
  } cases[] = {
      {"STRING", "Caf\xe9 cr\xe8me", "Caf\xc3\xa9 cr\xc3\xa8me"},
      {"COMPOUND_TEXT", "Caf\xe9", "Caf\xc3\xa9"},  // GR holds Latin-1 until told otherwise
      {"COMPOUND_TEXT", "\x1b-F\xe1\xe2\xe3 \x1b-AOK\xe9", "\xce\xb1\xce\xb2\xce\xb3 OK\xc3\xa9"},  // Greek, Latin-1
      {"COMPOUND_TEXT", "\x1b$)B\xa4\xa2\x1b(B-1", "\xe3\x81\x82-1"},  // JIS X 0208, then ASCII
      {"UTF8_STRING", "\xe2\x82\xac 5", "\xe2\x82\xac 5"},
  };
  pelorin::test::ManagedWindows windows;
  ASSERT_TRUE(windows.ok());
  std::vector<Window> made;
  for (const auto& c : cases) {
    made.push_back(windows.create({.legacyTitle = pelorin::test::NewWindow::LegacyTitle{c.encoding, c.bytes}}, false));
  }
  for (Window window : made) ASSERT_TRUE(windows.waitManaged(window));
  Result<ShareableContent> content = service_->shareableContent(false, true);
  ASSERT_TRUE(content.ok());
  for (std::size_t i = 0; i < made.size(); ++i) {
    SCOPED_TRACE(cases[i].encoding + (" case " + std::to_string(i)));
    const ShareableWindow* window = findWindow(*content, made[i]);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->title, std::optional<std::string>(cases[i].title));
  }
}

}  // namespace
}  // namespace pelorin::platform::x11
