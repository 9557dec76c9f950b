// Drags on the live portion frame, driven by the XTest mouse while a real portion capture runs over
// a changing screen, every record decoded:
// - frames showing the frame's red band (goal: none);
// - the longest gap between records while dragging (goal: at most 200 ms, six frame intervals);
// - key frames while dragging, against the seconds dragged (rounded up) plus one (goal: at most
//   that), also for presses without movement and a push against the screen's edge;
// - bytes per second while dragging, against the same screen with the frame still;
// - reconfigurations: at most one in flight, the last position applied;
// - the time from the release to the first record of the new portion, against two frame intervals
//   and against the mean time a KEYFRAME line takes to bring a fresh frame in the same run.
#include <X11/Xlib.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>
#include <vector>

#include "base/thread_annotations.h"
#include "capture/portion_capture.h"
#include "media/frame_stream_reader.h"
#include "media/hardware_encoder.h"
#include "platform/ffmpeg/compression_session_ffmpeg.h"
#include "platform/ffmpeg/h264_decoder.h"
#include "platform/x11/capture_access_x11.h"
#include "platform/x11/screen_capture_x11.h"
#include "portion/ui/app_loop.h"
#include "portion/ui/portion_frame.h"
#include "support/capture_measure.h"
#include "support/measure.h"
#include "support/yuv.h"

namespace {

using Clock = std::chrono::steady_clock;
using pelorin::Mutex;
using pelorin::MutexLock;
using pelorin::Rect;

constexpr int fps = 30;
constexpr int events = 200;
const Rect startPortion{100, 100, 640, 360};
constexpr int dragDistance = 1000;  // pixels to the right of the left edge: the portion ends at x = 1000
constexpr unsigned long green = 0x20C040;

double msBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

// A grey texture over the monitor with a square flickering in grey in the drag's path, so that
// frames keep coming and key frames cost what they cost on a busy screen, and green exactly where
// the portion ends; all below every window.
class Backdrop {
 public:
  explicit Backdrop(const Rect& monitor) : display_(XOpenDisplay(nullptr)) {
    // Each window goes below all others: the one lowered last lies under the others.
    paint({monitor.x + dragDistance, monitor.y + startPortion.y, startPortion.width, startPortion.height}, green);
    square_ = paint({monitor.x + 700, monitor.y + 200, 160, 160}, 0x808080);
    const Window texture = paint(monitor, 0x808080);
    const Pixmap tile = XCreatePixmap(display_, texture, 256, 256, DefaultDepth(display_, DefaultScreen(display_)));
    const GC gc = XCreateGC(display_, tile, 0, nullptr);
    std::uint32_t seed = 7;
    for (int y = 0; y < 256; y += 16) {
      for (int x = 0; x < 256; x += 16) {
        seed = seed * 1664525u + 1013904223u;
        XSetForeground(display_, gc, (0x50 + (seed >> 24) % 0x60) * 0x010101UL);
        XFillRectangle(display_, tile, gc, x, y, 16, 16);
      }
    }
    XSetWindowBackgroundPixmap(display_, texture, tile);
    XClearWindow(display_, texture);
    XFreeGC(display_, gc);
    XFreePixmap(display_, tile);
    XSync(display_, False);
    animator_ = std::thread([this] {
      Display* own = XOpenDisplay(nullptr);
      for (unsigned long level = 0x60; !stop_; level = level == 0xA0 ? 0x60 : level + 4) {
        XSetWindowBackground(own, square_, level * 0x010101);
        XClearWindow(own, square_);
        XSync(own, False);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      XCloseDisplay(own);
    });
  }
  ~Backdrop() {
    stop_ = true;
    animator_.join();
    XCloseDisplay(display_);
  }

 private:
  Window paint(const Rect& r, unsigned long rgb) {
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = rgb;
    const Window w = XCreateWindow(display_, DefaultRootWindow(display_), static_cast<int>(r.x), static_cast<int>(r.y),
                                   static_cast<unsigned>(r.width), static_cast<unsigned>(r.height), 0, CopyFromParent,
                                   InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
    XMapWindow(display_, w);
    XLowerWindow(display_, w);
    return w;
  }
  Display* display_;
  Window square_ = None;
  std::atomic<bool> stop_{false};
  std::thread animator_;
};

// Counts the reconfigurations that reach the stream and how many are unanswered at once.
class CountingStream final : public pelorin::capture::PortionStreamUpdating {
 public:
  explicit CountingStream(std::shared_ptr<PortionStreamUpdating> inner) : inner_(std::move(inner)) {}
  void updateConfiguration(const pelorin::platform::StreamConfiguration& c, Completion completion) override {
    {
      MutexLock lock(mutex);
      ++sent;
      maxInFlight = std::max(maxInFlight, ++inFlight);
    }
    inner_->updateConfiguration(c, [this, rect = *c.sourceRect, completion](std::optional<pelorin::Error> e) {
      {
        MutexLock lock(mutex);
        --inFlight;
        if (!e) lastApplied = rect;
      }
      completion(std::move(e));
    });
  }
  void holdPicture() override { inner_->holdPicture(); }
  void releasePicture(bool keyframe, std::function<void()> passed) override {
    inner_->releasePicture(keyframe, std::move(passed));
  }

  Mutex mutex;
  int sent GUARDED_BY(mutex) = 0, inFlight GUARDED_BY(mutex) = 0, maxInFlight GUARDED_BY(mutex) = 0;
  Rect lastApplied GUARDED_BY(mutex);

 private:
  std::shared_ptr<PortionStreamUpdating> inner_;
};

struct Arrival {
  Clock::time_point at;
  bool keyFrame = false;
  std::size_t bytes = 0;
  bool green = false;  // the picture is the final portion, edge to edge
  bool band = false;   // the frame's red band shows somewhere in the picture
};

// Records every record's arrival and what its picture shows.
std::vector<Arrival> readOutput(int fd) {
  std::vector<Arrival> arrivals;
  pelorin::media::FrameStreamReader reader(fd);
  auto decoder = pelorin::platform::ffmpeg::H264Decoder::create();
  for (;;) {
    auto record = reader.next();
    if (!record || !*record || !decoder) break;
    Arrival a{Clock::now(), (*record)->keyFrame, (*record)->payload.size()};
    auto pictures = (*decoder)->decode({(*record)->payload.data(), (*record)->payload.size()});
    if (pictures && !pictures->empty()) {
      const auto& p = pictures->back();
      // Green and grey have about the same luma; only green's red-difference is low.
      auto isGreen = [&](int x, int y) {
        return p.chromaV[static_cast<std::size_t>(y / 2) * ((p.width + 1) / 2) + x / 2] < 100;
      };
      a.green = isGreen(4, 4) && isGreen(p.width / 2, p.height / 2) && isGreen(p.width - 5, p.height - 5);
      a.band = pelorin::test::showsBand(p.chromaU, p.chromaV);
    }
    arrivals.push_back(a);
  }
  return arrivals;
}

// The first arrival after `from` that `wanted` accepts, in milliseconds after `from`.
std::optional<double> firstAfter(const std::vector<Arrival>& arrivals, Clock::time_point from,
                                 bool (*wanted)(const Arrival&)) {
  for (const Arrival& a : arrivals) {
    if (a.at >= from && wanted(a)) return msBetween(from, a.at);
  }
  return std::nullopt;
}

// What the records of one span of the run show.
struct Span {
  Clock::time_point from, to;
  int records = 0, keyFrames = 0;
  std::size_t bytes = 0;
  double maxGapMs = 0;
  double seconds() const { return msBetween(from, to) / 1000; }
};

Span spanOf(const std::vector<Arrival>& arrivals, Clock::time_point from, Clock::time_point to) {
  Span span{from, to};
  Clock::time_point last = from;
  for (const Arrival& a : arrivals) {
    if (a.at < from || a.at > to) continue;
    ++span.records;
    span.keyFrames += a.keyFrame;
    span.bytes += a.bytes;
    span.maxGapMs = std::max(span.maxGapMs, msBetween(last, a.at));
    last = a.at;
  }
  span.maxGapMs = std::max(span.maxGapMs, msBetween(last, to));
  return span;
}

// A drag of the frame's top edge, grabbed in its middle at (x, y), by (dx, dy) in `steps` steps of 10 ms.
std::string drag(int x, int y, int dx, int dy, int steps) {
  std::string command = "xdotool mousemove " + std::to_string(x) + " " + std::to_string(y) + " mousedown 1";
  for (int i = 1; i <= steps; ++i) {
    command += " mousemove " + std::to_string(x + dx * i / steps) + " " + std::to_string(y + dy * i / steps) +
               " sleep 0.01";
  }
  return command + " mouseup 1";
}

}  // namespace

int main(int argc, char** argv) {
  int status = 0;
  const auto display = pelorin::bench::benchmarkDisplay("portion_drag", status);
  if (!display) return status;
  setenv("PELORIN_VIDEO_ENCODER", "software", 0);
  Backdrop backdrop(display->frame);
  auto capture = pelorin::platform::x11::X11ScreenCaptureService::create();
  pelorin::platform::x11::X11CaptureAccess access;
  pelorin::platform::ffmpeg::FfmpegCompressionSessionFactory compression;
  int output[2], control[2];
  if (!capture || pipe2(output, O_CLOEXEC) != 0 || pipe2(control, O_CLOEXEC) != 0) return 1;
  const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);

  const pelorin::media::StreamSettings stream{.width = 640, .height = 360, .frameRate = {fps, 1}};
  pelorin::media::EncoderSettings settings{.stream = stream, .outputFd = output[1], .errorFd = devNull};
  auto encoder = pelorin::media::HardwareEncoder::create(compression, settings);
  if (!encoder) return 1;
  std::future<std::vector<Arrival>> arrivals = std::async(std::launch::async, readOutput, output[0]);

  pelorin::capture::CaptureRequest request{.stream = stream, .durationSeconds = 14,
                                           .displayID = display->displayID, .portion = startPortion};
  pelorin::capture::CaptureEnvironment env{.access = &access, .capture = capture->get(), .programPath = argv[0],
                                           .inputFd = control[0], .errorFd = devNull};
  std::shared_ptr<CountingStream> counted;
  std::promise<void> shown;
  const pelorin::capture::PortionFrameHost host = [&](const pelorin::capture::PortionFrameSetup& setup) {
    auto wrapped = setup;
    wrapped.stream = counted = std::make_shared<CountingStream>(setup.stream);
    auto result = pelorin::portion::showPortionFrame(wrapped);
    shown.set_value();
    return result;
  };
  // The spans of the run: still, presses without movement, a push against the left edge, the drag.
  std::vector<Clock::time_point> keyframesAsked;
  Clock::time_point still, pressed, pushed, dragged, released;
  bool driven = false;
  const int left = static_cast<int>(display->frame.x), top = static_cast<int>(display->frame.y);
  const int edgeX = left + static_cast<int>(startPortion.x + startPortion.width / 2);
  const int edgeY = top + static_cast<int>(startPortion.y) - 3;
  std::thread user([&] {
    shown.get_future().wait();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    driven = true;
    // At no particular phase of the capture's ticks: the mean of a few is the fair baseline.
    for (int i = 0; i < 5; ++i) {
      keyframesAsked.push_back(Clock::now());
      driven = driven && write(control[1], "KEYFRAME\n", 9) == 9;
      std::this_thread::sleep_for(std::chrono::milliseconds(170));
    }
    still = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    pressed = Clock::now();
    const std::string press = "xdotool mousemove " + std::to_string(edgeX) + " " + std::to_string(edgeY) +
                              " mousedown 1 sleep 0.1 mouseup 1 sleep 0.4";
    driven = driven && std::system((press + " " + press.substr(8) + " " + press.substr(8)).c_str()) == 0;
    // Left by 100 pixels to the monitor's edge, then 1.5 s pushing against it.
    pushed = Clock::now();
    driven = driven && std::system(drag(edgeX, edgeY, -250, 0, 150).c_str()) == 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    dragged = Clock::now();
    const int fromX = left + static_cast<int>(startPortion.width / 2);
    driven = driven && std::system(drag(fromX, edgeY, dragDistance, 0, events).c_str()) == 0;
    released = Clock::now();
  });
  const int ran = pelorin::portion::runOnAppKitLoop(argc, argv, 2, [&] {
    return pelorin::capture::runPortion(request, **encoder, env, host);
  });
  user.join();
  encoder->reset();
  close(output[1]);
  const std::vector<Arrival> records = arrivals.get();
  if (ran != 0 || !driven || !counted) {
    std::fprintf(stderr, "portion_drag: the run or the drag failed\n");
    return 1;
  }

  const auto frameMs = 1000.0 / fps;
  int bandFrames = 0;
  for (const Arrival& a : records) bandFrames += a.band;
  const Span stillSpan = spanOf(records, still, still + std::chrono::seconds(2));
  // Each span runs to two frame intervals after its last mouse event: what the release brings counts.
  const auto settle = std::chrono::milliseconds(70);
  const Span presses = spanOf(records, pressed, pushed), push = spanOf(records, pushed, dragged - std::chrono::milliseconds(430));
  const Span drag = spanOf(records, dragged, released + settle);
  const Rect finalPortion{static_cast<double>(dragDistance), startPortion.y, startPortion.width, startPortion.height};
  MutexLock counts(counted->mutex);
  const bool lastApplied = counted->lastApplied == finalPortion;
  std::printf("portion_drag records=%zu band_frames=%d drag_events=%d over=%.0fms reconfigurations=%d "
              "max_in_flight=%d last_position_applied=%s %s\n",
              records.size(), bandFrames, events, msBetween(dragged, released), counted->sent, counted->maxInFlight,
              lastApplied ? "true" : "false", bandFrames == 0 && counted->maxInFlight <= 1 && lastApplied ? "met" : "MISSED");
  for (const auto& [name, span] : {std::pair{"still", stillSpan}, {"presses", presses}, {"edge_push", push}, {"drag", drag}}) {
    std::printf("portion_drag span=%s seconds=%.2f records=%d key_frames=%d bytes_per_second=%.0f max_gap_ms=%.0f\n",
                name, span.seconds(), span.records, span.keyFrames, span.bytes / span.seconds(), span.maxGapMs);
  }
  bool met = bandFrames == 0 && counted->maxInFlight <= 1 && lastApplied;
  met &= pelorin::bench::reportRatio("portion_drag drag_max_gap_in_frame_intervals", drag.maxGapMs, frameMs, 6.0, "ms");
  // One a second of the encoder's own (each started second) and one at the end.
  for (const Span* span : {&presses, &push, &drag}) {
    met &= pelorin::bench::reportRatio(span == &drag ? "portion_drag drag_key_frames_vs_seconds_plus_one"
                                       : span == &push ? "portion_drag edge_push_key_frames_vs_seconds_plus_one"
                                                       : "portion_drag presses_key_frames_vs_seconds_plus_one",
                                       span->keyFrames, std::ceil(span->seconds()) + 1, 1.0, "");
  }
  met &= pelorin::bench::reportRatio("portion_drag drag_bytes_per_second_vs_still", drag.bytes / drag.seconds(),
                                     stillSpan.bytes / stillSpan.seconds(), 10.0, "B/s");
  std::optional<double> keyMs = 0.0;
  for (const Clock::time_point asked : keyframesAsked) {
    const auto ms = firstAfter(records, asked, [](const Arrival& a) { return a.keyFrame; });
    keyMs = keyMs && ms ? std::optional(*keyMs + *ms / static_cast<double>(keyframesAsked.size())) : std::nullopt;
  }
  const auto newPortionMs = firstAfter(records, released, [](const Arrival& a) { return a.green; });
  if (!keyMs || !newPortionMs) {
    std::printf("portion_drag release_to_new_portion MISSED (no such record)\n");
    return 1;
  }
  met &= pelorin::bench::reportRatio("portion_drag release_to_new_portion_in_frame_intervals", *newPortionMs, frameMs,
                                     2.0, "ms");
  met &= pelorin::bench::reportRatio("portion_drag release_to_new_portion_vs_keyframe_request", *newPortionMs, *keyMs,
                                     2.0, "ms");
  return met ? 0 : 1;
}
