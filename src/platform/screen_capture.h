#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/geometry.h"
#include "base/serial_queue.h"
#include "platform/media_time.h"
#include "platform/pixel_buffer.h"

namespace pelorin::platform {

using DisplayID = std::uint32_t;
using WindowID = std::uint32_t;

// The codes of the capture failures a host tells apart. X11 gives no status for them, so the
// backend names its own, above the X protocol's error codes.
namespace captureStatus {
inline constexpr std::int64_t windowClosed = 1001;
inline constexpr std::int64_t displayDisconnected = 1002;
inline constexpr std::int64_t serverLost = 1003;
inline constexpr std::int64_t serverUnreachable = 1004;
inline constexpr std::int64_t windowNotFound = 1005;
inline constexpr std::int64_t displayNotFound = 1006;
// The desktop ended a screen cast (its compositor went away, or its own "stop sharing").
inline constexpr std::int64_t castEnded = 1007;
}  // namespace captureStatus

// Coordinates are points with a top-left origin, y downwards, in the global space of all
// displays (on X11 points are pixels of the root window).
struct ShareableDisplay {
  DisplayID displayID = 0;
  Rect frame;
  int width = 0;   // points
  int height = 0;  // points
  // The name the system gives the monitor (EDID product name, else the output name); may be empty.
  std::string name;
};

struct RunningApplication {
  std::int32_t processID = 0;
  std::string applicationName;
};

struct ShareableWindow {
  WindowID windowID = 0;
  std::optional<std::string> title;
  Rect frame;           // outer frame, decorations included
  int windowLayer = 0;  // 0 for normal and dialog windows
  bool onScreen = true;
  std::optional<RunningApplication> owningApplication;
  std::optional<Rect> client;  // the area inside the decorations, in the same coordinates; absent: all of it
};

// Displays in the system's order; windows front to back.
struct ShareableContent {
  std::vector<ShareableDisplay> displays;
  std::vector<ShareableWindow> windows;
};

// What a stream or screenshot shows.
struct ContentFilter {
  enum class Kind {
    Display,                  // a whole display, minus `windows`
    DisplayIncludingWindows,  // a display showing only `windows`
    Window,                   // one window alone, independent of the desktop
  };
  Kind kind = Kind::Display;
  DisplayID displayID = 0;
  WindowID windowID = 0;
  std::vector<WindowID> windows;
  // Pixels per point of the filtered content, and its frame in global points.
  double pointPixelScale = 1.0;
  Rect contentRect;
};

// The filters as every backend makes them: a display's frame as its content (with its pixels per
// point), or a window's frame.
ContentFilter makeDisplayFilter(const ShareableDisplay& display, std::vector<WindowID> windows,
                                ContentFilter::Kind kind = ContentFilter::Kind::Display, double pointPixelScale = 1.0);
ContentFilter makeWindowFilter(const ShareableWindow& window);

struct StreamConfiguration {
  int width = 0;   // pixels of the delivered frames
  int height = 0;
  MediaTime minimumFrameInterval = defaultFrameRate.interval();
  std::uint32_t pixelFormat = pixelFormat420v;
  int queueDepth = 3;  // buffers the stream may have in use at once
  bool showsCursor = true;
  // The content is scaled into the destination; with preservesAspectRatio it is fitted and
  // centred, the rest of the frame black.
  bool scalesToFit = true;
  bool preservesAspectRatio = true;
  std::optional<Rect> sourceRect;       // points of the content; absent: all of it
  std::optional<Rect> destinationRect;  // pixels of the frame; absent: the whole frame
};

enum class StreamOutputType { Screen, Audio };

// Status of a delivered frame.
enum class FrameStatus { Complete = 0, Idle = 1, Blank = 2, Suspended = 3, Started = 4, Stopped = 5 };

struct SampleAttachments {
  std::optional<FrameStatus> status;
  std::optional<Rect> contentRect;    // where the content lies in the frame, pixels
  std::optional<double> scaleFactor;  // pixels per point of the content
  std::optional<double> contentScale; // scale from content to frame
};

struct SampleBuffer {
  bool valid = true;
  PixelBufferRef imageBuffer;  // null for samples without a picture (idle frames)
  double presentationSeconds = 0;  // host monotonic clock (CLOCK_MONOTONIC)
  std::optional<SampleAttachments> attachments;
};

// Receives the stream's samples on the queue it was added with.
class StreamOutput {
 public:
  virtual ~StreamOutput() = default;
  virtual void didOutputSample(const SampleBuffer& sample, StreamOutputType type) = 0;
};

// Told, on a thread of the stream's, when the stream stops because of an error. The stream's
// owner joins that thread: the stream is not destroyed from here.
class StreamDelegate {
 public:
  virtual ~StreamDelegate() = default;
  virtual void didStopWithError(const Error& error) = 0;
};

// A running capture. Every call blocks until the stream has done what was asked.
class CaptureStream {
 public:
  virtual ~CaptureStream() = default;
  // Samples of `type` go to `output` as tasks on `queue`; both must outlive the stream's capture.
  virtual Result<void> addStreamOutput(std::shared_ptr<StreamOutput> output, StreamOutputType type,
                                       std::shared_ptr<SerialQueue> queue) = 0;
  virtual Result<void> startCapture() = 0;
  virtual Result<void> stopCapture() = 0;
  virtual Result<void> updateConfiguration(const StreamConfiguration& configuration) = 0;
  virtual Result<void> updateContentFilter(const ContentFilter& filter) = 0;
  // Asks for one fresh complete frame at the next tick, even when nothing on screen changed
  // (a key frame was asked for, the picture was resumed). Never blocks; callable from any thread.
  virtual void requestFrame() = 0;
};

// A still picture: 32-bit BGRA (little-endian BGRX/ARGB words), rows of bytesPerRow bytes.
struct Image {
  int width = 0;
  int height = 0;
  std::size_t bytesPerRow = 0;
  std::vector<std::uint8_t> pixels;
};

struct ScreenshotConfiguration {
  int width = 0;
  int height = 0;
  bool showsCursor = false;
};

class ScreenCaptureService {
 public:
  virtual ~ScreenCaptureService() = default;

  virtual Result<ShareableContent> shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly) = 0;

  virtual ContentFilter displayFilter(const ShareableDisplay& display, std::vector<WindowID> excluding = {}) = 0;
  virtual ContentFilter displayFilterIncluding(const ShareableDisplay& display, std::vector<WindowID> including) = 0;
  virtual ContentFilter windowFilter(const ShareableWindow& window) = 0;

  // The delegate, when given, must outlive the stream.
  virtual Result<std::unique_ptr<CaptureStream>> makeStream(const ContentFilter& filter,
                                                            const StreamConfiguration& configuration,
                                                            StreamDelegate* delegate) = 0;

  // One picture of the filter's content scaled to the configuration's size.
  virtual Result<Image> captureImage(const ContentFilter& filter, const ScreenshotConfiguration& configuration) = 0;
};

// A window's outer frame and the area inside its decorations, as in ShareableWindow.
struct WindowBounds {
  Rect frame;
  std::optional<Rect> client;
  friend bool operator==(const WindowBounds&, const WindowBounds&) = default;
};

// The window server's view: live geometry without building the whole shareable content.
class WindowServer {
 public:
  virtual ~WindowServer() = default;
  // Bounds of every active display, in the system's order.
  virtual std::vector<Rect> displayFrames() = 0;
  // The window's current bounds, or nothing when the window server does not know it.
  virtual std::optional<WindowBounds> windowBounds(WindowID window) = 0;
};

}  // namespace pelorin::platform
