#include "platform/ffmpeg/av_error.h"

#include <cstdlib>
#include <mutex>

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

void quietLibavLogging() {
  static std::once_flag once;
  std::call_once(once, [] {
    // The encoder's stderr is a log parsed by the host; only our own lines belong there.
    const char* wanted = std::getenv("PELORIN_FFMPEG_LOG");
    av_log_set_level(wanted && *wanted ? AV_LOG_INFO : AV_LOG_QUIET);
  });
}

}  // namespace pelorin::platform::ffmpeg
