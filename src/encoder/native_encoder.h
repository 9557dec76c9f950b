#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/error.h"
#include "capture/portion_capture.h"

namespace pelorin::platform {
class CaptureAccess;
class CompressionSessionFactory;
class ImageEncoding;
class ScreenCaptureService;
class WindowServer;
}  // namespace pelorin::platform

namespace pelorin::encoder {

// The platform services one run uses, and where its output goes.
struct EncoderServices {
  platform::CaptureAccess* captureAccess = nullptr;
  platform::CompressionSessionFactory* compression = nullptr;
  platform::ScreenCaptureService* screenCapture = nullptr;
  platform::ImageEncoding* imageEncoding = nullptr;
  // Opens the window server's view, for window capture only (it needs its own connection).
  std::function<Result<std::unique_ptr<platform::WindowServer>>()> makeWindowServer;
  // The capture backend's word in the log lines ("x11", "portal").
  std::string backendName = "x11";
  std::int32_t processID = 0;
  std::string currentDirectory;
  // The program's own path, absolute and standardized; filled in by runNativeEncoder.
  std::string programPath;
  int outputFd = 1;
  int errorFd = 2;
  int inputFd = 0;
  // Standard output was closed when the process started: nothing can take a stream or a list.
  bool outputClosed = false;
  // The portion modes' windows, present when the program can show windows (they need Qt and a
  // display). selectPortion runs "--select-portion" and never returns; runOnWindowLoop runs a
  // body while the main thread serves the windows and returns the exit status.
  std::function<void()> selectPortion;
  std::function<int(const std::function<Result<void>()>& body)> runOnWindowLoop;
  capture::PortionFrameHost showPortionFrame;
};

// Runs one pelorin-encoder process from its command-line words (program path first) and
// returns the exit status. The calling thread only dispatches.
int runNativeEncoder(const std::vector<std::string>& commandLine, EncoderServices& services);

}  // namespace pelorin::encoder
