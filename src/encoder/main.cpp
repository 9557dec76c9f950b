#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "base/standard_descriptors.h"
#include "encoder/native_encoder.h"
#include "platform/ffmpeg/compression_session_ffmpeg.h"
#include "platform/image/image_encoding_backend.h"
#include "platform/x11/capture_access_x11.h"
#include "platform/x11/lazy_screen_capture_x11.h"
#include "platform/x11/screen_capture_x11.h"
#include "portion/app_loop.h"
#include "portion/portion_frame.h"
#include "portion/portion_selection.h"

int main(int argc, char** argv) {
  // First of all: a closed standard stream must not be reused by the display connection.
  const pelorin::ClosedStandardDescriptors closed = pelorin::occupyClosedStandardDescriptors();
  pelorin::platform::x11::X11CaptureAccess captureAccess;
  pelorin::platform::ffmpeg::FfmpegCompressionSessionFactory compression;
  pelorin::platform::x11::LazyX11ScreenCaptureService screenCapture;
  pelorin::platform::image::ImageEncodingBackend imageEncoding;

  pelorin::encoder::EncoderServices services;
  services.captureAccess = &captureAccess;
  services.compression = &compression;
  services.screenCapture = &screenCapture;
  services.imageEncoding = &imageEncoding;
  services.makeWindowServer = []() -> pelorin::Result<std::unique_ptr<pelorin::platform::WindowServer>> {
    auto server = pelorin::platform::x11::X11WindowServer::create();
    if (!server) return server.error();
    return std::unique_ptr<pelorin::platform::WindowServer>(std::move(*server));
  };
  services.processID = static_cast<std::int32_t>(getpid());
  services.outputClosed = closed.output;
  std::error_code error;
  services.currentDirectory = std::filesystem::current_path(error).string();

  // The portion modes alone start Qt.
  services.selectPortion = [&] {
    pelorin::portion::SelectionIO io;
    io.displays = [&]() -> std::vector<pelorin::platform::ShareableDisplay> {
      auto content = screenCapture.shareableContent(false, true);
      return content ? content->displays : std::vector<pelorin::platform::ShareableDisplay>{};
    };
    pelorin::portion::runPortionSelection(argc, argv, io);
  };
  services.runOnWindowLoop = [&](const std::function<pelorin::Result<void>()>& body) {
    return pelorin::portion::runOnAppKitLoop(argc, argv, services.errorFd, body);
  };
  services.showPortionFrame = pelorin::portion::showPortionFrame;

  const std::vector<std::string> commandLine(argv, argv + argc);
  return pelorin::encoder::runNativeEncoder(commandLine, services);
}
