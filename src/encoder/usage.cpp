#include "encoder/usage.h"

#include <string_view>

#include "base/fd_output.h"

namespace pelorin::encoder {

void writeUsage(int fd) {
  static constexpr std::string_view text =
      "pelorin-encoder " PELORIN_VERSION R"(
Usage: pelorin-encoder [MODE | OPTION VALUE ...]

Captures a display, a window, a portion of a display or a synthetic test pattern, encodes it
as H.264 on the hardware video encoder and writes the frame stream to standard output.
Diagnostics go to standard error as key=value lines.

Modes (each the whole command line):
  --preflight            report whether screen capture is allowed
  --request-permission   ask for screen capture and report the answer
  --list-sources         print the capturable displays and windows as JSON
  --select-portion       let the user frame a portion and print it as JSON
  --help                 print this text

Options (each takes one value):
  --source screen|synthetic|window|portion   what to capture (default screen)
  --width N --height N   encoded size in pixels (default 1920 x 1080)
  --fps N                frame rate and key-frame interval (default 30)
  --bitrate N            average bit rate in bit/s (default 8000000)
  --profile baseline|main|high               H.264 profile (default baseline)
  --duration N           length of the run in seconds (default 60)
  --display-id N         display to capture (screen, portion)
  --portion X,Y,W,H      rectangle of the display to capture (portion)
  --window-id N          window to capture (window)
  --window-title TEXT    marker in the title of the window to capture (window), with
  --content-width N --content-height N       the window's content size

Control lines on standard input during a capture: KEYFRAME, PAUSE, RESUME, CROP.

Environment:
  PELORIN_VIDEO_ENCODER  hardware (default), vaapi, nvenc, qsv, or software (libx264)
  PELORIN_VAAPI_DEVICE   VA-API render node (default /dev/dri/renderD128)
)";
  (void)writeAll(fd, text.data(), text.size());
}

}  // namespace pelorin::encoder
