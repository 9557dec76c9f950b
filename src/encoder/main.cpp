#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "encoder/native_encoder.h"
#include "platform/x11/capture_access_x11.h"

int main(int argc, char** argv) {
  pelorin::platform::x11::X11CaptureAccess captureAccess;

  pelorin::encoder::EncoderServices services;
  services.captureAccess = &captureAccess;
  std::error_code error;
  services.currentDirectory = std::filesystem::current_path(error).string();

  const std::vector<std::string> commandLine(argv, argv + argc);
  return pelorin::encoder::runNativeEncoder(commandLine, services);
}
