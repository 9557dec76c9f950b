#pragma once

// Internal to the libavcodec backends: libav status codes as pelorin errors.
#include <string>

#include "base/error.h"

namespace pelorin::platform::ffmpeg {

constexpr const char* ffmpegDomain = "FFmpeg";

// av_strerror text for a libav status.
std::string avErrorText(int status);
Error avError(int status, const std::string& context = {});

// Keeps libav's own log lines off stderr unless PELORIN_FFMPEG_LOG is set; then libav logs at
// verbose level.
void quietLibavLogging();

// With PELORIN_FFMPEG_LOG set, writes one line (event word, then key=value pairs) to stderr.
void ffmpegDiagnostic(const std::string& line);

}  // namespace pelorin::platform::ffmpeg
