// A burst of 200 drag events on the live portion frame over two seconds, driven by the XTest mouse
// while a real portion capture runs: how many reconfigurations reach the stream (goal: at most one
// in flight, the last position applied), and the time from the mouse release to the first record
// of the new portion on the output, against the time a KEYFRAME line takes to bring a fresh frame
// in the same run (goal: under two frame intervals).
#include <X11/Xlib.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "media/frame_stream_reader.h"
#include "media/hardware_encoder.h"
#include "platform/ffmpeg/compression_session_ffmpeg.h"
#include "platform/ffmpeg/h264_decoder.h"
#include "platform/x11/capture_access_x11.h"
#include "platform/x11/screen_capture_x11.h"
#include "portion/app_loop.h"
#include "portion/portion_capture.h"
#include "portion/portion_frame.h"
#include "support/capture_measure.h"
#include "support/measure.h"

namespace {

using Clock = std::chrono::steady_clock;
using pelorin::Rect;

constexpr int fps = 30;
constexpr int events = 200;
const Rect startPortion{100, 100, 640, 360};
constexpr int dragDistance = 1000;  // pixels to the right: the portion ends at x = 1100
constexpr unsigned long grey = 0x808080, green = 0x20C040;

double msBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

// Grey everywhere on the monitor but green exactly where the portion ends, below every window.
class Backdrop {
 public:
  explicit Backdrop(const Rect& monitor) : display_(XOpenDisplay(nullptr)) {
    // Each window goes below all others: the grey one, lowered last, lies under the green one.
    paint({monitor.x + startPortion.x + dragDistance, monitor.y + startPortion.y, startPortion.width,
           startPortion.height},
          green);
    paint(monitor, grey);
    XSync(display_, False);
  }
  ~Backdrop() { XCloseDisplay(display_); }

 private:
  void paint(const Rect& r, unsigned long rgb) {
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = rgb;
    const Window w = XCreateWindow(display_, DefaultRootWindow(display_), static_cast<int>(r.x), static_cast<int>(r.y),
                                   static_cast<unsigned>(r.width), static_cast<unsigned>(r.height), 0, CopyFromParent,
                                   InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
    XMapWindow(display_, w);
    XLowerWindow(display_, w);
  }
  Display* display_;
};

// Counts the reconfigurations that reach the stream and how many are unanswered at once.
class CountingStream final : public pelorin::portion::PortionStreamUpdating {
 public:
  explicit CountingStream(std::shared_ptr<PortionStreamUpdating> inner) : inner_(std::move(inner)) {}
  void updateConfiguration(const pelorin::platform::StreamConfiguration& c, Completion completion) override {
    {
      std::lock_guard lock(mutex);
      ++sent;
      maxInFlight = std::max(maxInFlight, ++inFlight);
    }
    inner_->updateConfiguration(c, [this, rect = *c.sourceRect, completion](std::optional<pelorin::Error> e) {
      {
        std::lock_guard lock(mutex);
        --inFlight;
        if (!e) lastApplied = rect;
      }
      completion(std::move(e));
    });
  }

  std::mutex mutex;
  int sent = 0, inFlight = 0, maxInFlight = 0;
  Rect lastApplied;

 private:
  std::shared_ptr<PortionStreamUpdating> inner_;
};

struct Arrival {
  Clock::time_point at;
  bool keyFrame = false;
  bool green = false;  // the picture is the final portion, edge to edge
};

// Records every record's arrival and whether it shows the final portion.
std::vector<Arrival> readOutput(int fd) {
  std::vector<Arrival> arrivals;
  pelorin::media::FrameStreamReader reader(fd);
  auto decoder = pelorin::platform::ffmpeg::H264Decoder::create();
  for (;;) {
    auto record = reader.next();
    if (!record || !*record || !decoder) break;
    Arrival a{Clock::now(), (*record)->keyFrame};
    auto pictures = (*decoder)->decode({(*record)->payload.data(), (*record)->payload.size()});
    if (pictures && !pictures->empty()) {
      const auto& p = pictures->back();
      // Green and grey have about the same luma; only green's red-difference is low.
      auto isGreen = [&](int x, int y) {
        return p.chromaV[static_cast<std::size_t>(y / 2) * ((p.width + 1) / 2) + x / 2] < 100;
      };
      a.green = isGreen(4, 4) && isGreen(p.width / 2, p.height / 2) && isGreen(p.width - 5, p.height - 5);
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

// The drag: the frame's top edge, grabbed in its middle, dragged right in `events` steps.
std::string burst(const Rect& monitor) {
  const int x = static_cast<int>(monitor.x + startPortion.x + startPortion.width / 2);
  const int y = static_cast<int>(monitor.y + startPortion.y - 3);
  std::string command = "xdotool mousemove " + std::to_string(x) + " " + std::to_string(y) + " mousedown 1";
  for (int i = 1; i <= events; ++i) {
    command += " mousemove " + std::to_string(x + dragDistance * i / events) + " " + std::to_string(y) + " sleep 0.01";
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

  pelorin::media::EncoderSettings settings{.width = 640, .height = 360, .fps = fps, .outputFd = output[1], .errorFd = devNull};
  auto encoder = pelorin::media::HardwareEncoder::create(compression, settings);
  if (!encoder) return 1;
  std::future<std::vector<Arrival>> arrivals = std::async(std::launch::async, readOutput, output[0]);

  pelorin::capture::CaptureRequest request{.width = 640, .height = 360, .fps = fps, .durationSeconds = 12,
                                           .displayID = display->displayID, .portion = startPortion};
  pelorin::capture::CaptureEnvironment env{.access = &access, .capture = capture->get(), .programPath = argv[0],
                                           .inputFd = control[0], .errorFd = devNull};
  std::shared_ptr<CountingStream> counted;
  std::promise<void> shown;
  const pelorin::portion::PortionFrameHost host = [&](const pelorin::portion::PortionFrameSetup& setup) {
    auto wrapped = setup;
    wrapped.stream = counted = std::make_shared<CountingStream>(setup.stream);
    auto result = pelorin::portion::showPortionFrame(wrapped);
    shown.set_value();
    return result;
  };
  Clock::time_point keyframeAsked, pressed, released;
  bool driven = false;
  std::thread user([&] {
    shown.get_future().wait();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    keyframeAsked = Clock::now();
    driven = write(control[1], "KEYFRAME\n", 9) == 9;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    pressed = Clock::now();
    driven = driven && std::system(burst(display->frame).c_str()) == 0;
    released = Clock::now();
  });
  const int ran = pelorin::portion::runOnAppKitLoop(argc, argv, 2, [&] {
    return pelorin::portion::runPortion(request, **encoder, env, host);
  });
  user.join();
  encoder->reset();
  close(output[1]);
  const std::vector<Arrival> records = arrivals.get();
  if (ran != 0 || !driven || !counted) {
    std::fprintf(stderr, "portion_drag: the run or the drag failed\n");
    return 1;
  }

  const auto keyMs = firstAfter(records, keyframeAsked, [](const Arrival& a) { return a.keyFrame; });
  const auto newPortionMs = firstAfter(records, released, [](const Arrival& a) { return a.green; });
  // A last report during the drag may already have carried the final position.
  const bool shownBeforeRelease = firstAfter(records, pressed, [](const Arrival& a) { return a.green; }) <
                                  std::optional(msBetween(pressed, released));
  const Rect finalPortion{startPortion.x + dragDistance, startPortion.y, startPortion.width, startPortion.height};
  const bool lastApplied = counted->lastApplied == finalPortion;
  std::printf("portion_drag drag_events=%d over=%.0fms new_portion_before_release=%s reconfigurations=%d "
              "max_in_flight=%d last_position_applied=%s %s\n",
              events, msBetween(pressed, released), shownBeforeRelease ? "true" : "false", counted->sent, counted->maxInFlight, lastApplied ? "true" : "false",
              counted->maxInFlight <= 1 && lastApplied ? "met" : "MISSED");
  bool met = counted->maxInFlight <= 1 && lastApplied;
  met &= pelorin::bench::reportRatio("portion_drag reconfigurations_per_drag_event", counted->sent, events, 1.0, "");
  if (!keyMs || !newPortionMs) {
    std::printf("portion_drag release_to_new_portion MISSED (no such record)\n");
    return 1;
  }
  met &= pelorin::bench::reportRatio("portion_drag release_to_new_portion_in_frame_intervals", *newPortionMs,
                                     1000.0 / fps, 2.0, "ms");
  met &= pelorin::bench::reportRatio("portion_drag release_to_new_portion_vs_keyframe_request", *newPortionMs, *keyMs,
                                     2.0, "ms");
  return met ? 0 : 1;
}
