#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "encoder/native_encoder.h"
#include "platform/ffmpeg/compression_session_ffmpeg.h"
#include "platform/x11/capture_access_x11.h"

int main(int argc, char** argv) {
  pelorin::platform::x11::X11CaptureAccess captureAccess;

  pelorin::platform::ffmpeg::FfmpegCompressionSessionFactory compression;

  pelorin::encoder::EncoderServices services;
  services.captureAccess = &captureAccess;
  services.compression = &compression;
  std::error_code error;
  services.currentDirectory = std::filesystem::current_path(error).string();

  const std::vector<std::string> commandLine(argv, argv + argc);
  return pelorin::encoder::runNativeEncoder(commandLine, services);
}
