#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "encoder/native_encoder.h"
#include "platform/ffmpeg/compression_session_ffmpeg.h"
#include "platform/image/image_encoding_backend.h"
#include "platform/x11/capture_access_x11.h"
#include "platform/x11/screen_capture_x11.h"

int main(int argc, char** argv) {
  pelorin::platform::x11::X11CaptureAccess captureAccess;

  pelorin::platform::ffmpeg::FfmpegCompressionSessionFactory compression;

  pelorin::encoder::EncoderServices services;
  services.captureAccess = &captureAccess;
  services.compression = &compression;
  pelorin::platform::image::ImageEncodingBackend imageEncoding;
  services.imageEncoding = &imageEncoding;
  services.processID = static_cast<std::int32_t>(getpid());
  // Without an X display there is no capture service; the modes report why.
  auto screenCapture = pelorin::platform::x11::X11ScreenCaptureService::create();
  if (screenCapture) {
    services.screenCapture = screenCapture->get();
  } else {
    services.screenCaptureUnavailable = screenCapture.error();
  }
  std::error_code error;
  services.currentDirectory = std::filesystem::current_path(error).string();

  const std::vector<std::string> commandLine(argv, argv + argc);
  return pelorin::encoder::runNativeEncoder(commandLine, services);
}
