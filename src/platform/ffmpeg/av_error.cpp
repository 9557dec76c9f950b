#include "platform/ffmpeg/av_error.h"

#include <cstdlib>
#include <mutex>

#include "base/fd_output.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace pelorin::platform::ffmpeg {

std::string avErrorText(int status) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  if (av_strerror(status, text, sizeof text) < 0) return "libav status " + std::to_string(status);
  return text;
}

Error avError(int status, const std::string& context) {
  std::string message = avErrorText(status);
  if (!context.empty()) message = context + ": " + message;
  return Error{ffmpegDomain, status, std::move(message)};
}

namespace {

bool libavLogWanted() {
  const char* wanted = std::getenv("PELORIN_FFMPEG_LOG");
  return wanted && *wanted;
}

}  // namespace

void quietLibavLogging() {
  static std::once_flag once;
  std::call_once(once, [] {
    // The encoder's stderr is a log parsed by the host; only our own lines belong there.
    av_log_set_level(libavLogWanted() ? AV_LOG_VERBOSE : AV_LOG_QUIET);
  });
}

void ffmpegDiagnostic(const std::string& line) {
  if (libavLogWanted()) writeLine(2, line);
}

}  // namespace pelorin::platform::ffmpeg
