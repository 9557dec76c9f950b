#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "base/fd_output.h"
#include "base/sanitize.h"
#include "base/standard_descriptors.h"
#include "base/state_directory.h"
#include "encoder/native_encoder.h"
#include "platform/capture_backend.h"
#include "platform/ffmpeg/compression_session_ffmpeg.h"
#include "platform/image/image_encoding_backend.h"
#include "platform/portal/capture_access_portal.h"
#include "platform/portal/screen_capture_portal.h"
#include "platform/x11/capture_access_x11.h"
#include "platform/x11/lazy_screen_capture_x11.h"
#include "platform/x11/screen_capture_x11.h"
#include "portion/ui/portion_windows.h"

namespace {

// The portion windows, loaded on first use from next to the program (the build tree), else from
// the installed private library folder (PELORIN_MODULE_DIR, relative to the program's folder);
// null with the reason in `failure` when they cannot be.
const pelorin::portion::PortionWindows* portionWindows(std::string& failure) {
  std::error_code error;
  const auto folder = std::filesystem::read_symlink("/proc/self/exe", error).parent_path();
  std::string path = (folder / pelorin::portion::portionWindowsModule).string();
  if (!std::filesystem::exists(path, error)) {
    path = (folder / PELORIN_MODULE_DIR / pelorin::portion::portionWindowsModule).lexically_normal().string();
  }
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  auto entry = module ? reinterpret_cast<pelorin::portion::PortionWindowsEntry>(
                            dlsym(module, pelorin::portion::portionWindowsEntry))
                      : nullptr;
  if (!entry) {
    failure = "portion windows unavailable: " + std::string(dlerror());
    return nullptr;
  }
  return entry();
}

// The capture services of the backend in use; they live as long as the process.
struct CaptureBackendServices {
  std::unique_ptr<pelorin::platform::CaptureAccess> access;
  std::unique_ptr<pelorin::platform::ScreenCaptureService> capture;
};

CaptureBackendServices x11Backend(pelorin::encoder::EncoderServices& services) {
  services.makeWindowServer = []() -> pelorin::Result<std::unique_ptr<pelorin::platform::WindowServer>> {
    auto server = pelorin::platform::x11::X11WindowServer::create();
    if (!server) return server.error();
    return std::unique_ptr<pelorin::platform::WindowServer>(std::move(*server));
  };
  return {std::make_unique<pelorin::platform::x11::X11CaptureAccess>(),
          std::make_unique<pelorin::platform::x11::LazyX11ScreenCaptureService>()};
}

CaptureBackendServices portalBackend(pelorin::encoder::EncoderServices& services) {
  namespace portal = pelorin::platform::portal;
  services.backendName = "portal";
  services.makeWindowServer = []() -> pelorin::Result<std::unique_ptr<pelorin::platform::WindowServer>> {
    return portal::windowCaptureRefused();
  };
  const std::filesystem::path tokens = pelorin::pelorinStateDirectory();
  return {std::make_unique<portal::PortalCaptureAccess>(tokens), std::make_unique<portal::PortalScreenCaptureService>(tokens)};
}

}  // namespace

int main(int argc, char** argv) {
  // First of all: a closed standard stream must not be reused by the display connection.
  const pelorin::ClosedStandardDescriptors closed = pelorin::occupyClosedStandardDescriptors();
  pelorin::encoder::EncoderServices services;
  const pelorin::Result<pelorin::platform::CaptureBackend> backend = pelorin::platform::chooseCaptureBackend();
  if (!backend) {
    pelorin::writeLine(services.errorFd, "native_encoder_error reason=" + pelorin::sanitized(backend.error().description()));
    return 1;
  }
  const bool portal = *backend == pelorin::platform::CaptureBackend::Portal;
  const bool x11Windows = pelorin::platform::useX11Windows(*backend);
  CaptureBackendServices capture = portal ? portalBackend(services) : x11Backend(services);
  pelorin::platform::ffmpeg::FfmpegCompressionSessionFactory compression;
  pelorin::platform::image::ImageEncodingBackend imageEncoding;
  services.captureAccess = capture.access.get();
  services.compression = &compression;
  services.screenCapture = capture.capture.get();
  services.imageEncoding = &imageEncoding;
  services.processID = static_cast<std::int32_t>(getpid());
  services.outputClosed = closed.output;
  std::error_code error;
  services.currentDirectory = std::filesystem::current_path(error).string();

  // The portion modes alone load the windows and Qt with them.
  const pelorin::portion::PortionWindows* windows = nullptr;
  auto loadWindows = [&] {
    std::string failure = "portion windows need XWayland (DISPLAY) on a Wayland session";
    if (x11Windows) windows = portionWindows(failure);
    if (!windows) pelorin::writeLine(services.errorFd, "native_encoder_error reason=" + pelorin::sanitized(failure));
    return windows != nullptr;
  };
  services.selectPortion = [&] {
    if (!loadWindows()) std::exit(1);
    pelorin::portion::SelectionIO io;
    io.displays = [&]() -> std::vector<pelorin::platform::ShareableDisplay> {
      auto content = services.screenCapture->shareableContent(false, true);
      return content ? content->displays : std::vector<pelorin::platform::ShareableDisplay>{};
    };
    windows->runPortionSelection(argc, argv, io);
  };
  services.runOnWindowLoop = [&](const std::function<pelorin::Result<void>()>& body) {
    return loadWindows() ? windows->runOnAppKitLoop(argc, argv, services.errorFd, body) : 1;
  };
  services.showPortionFrame = [&](const pelorin::capture::PortionFrameSetup& setup) {
    return windows->showPortionFrame(setup);
  };

  const std::vector<std::string> commandLine(argv, argv + argc);
  return pelorin::encoder::runNativeEncoder(commandLine, services);
}
