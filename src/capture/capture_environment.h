#pragma once

#include <string>

#include "base/error.h"
#include "platform/capture_access.h"
#include "platform/screen_capture.h"

namespace pelorin::capture {

// What a capture run needs of its process.
struct CaptureEnvironment {
  platform::CaptureAccess* access = nullptr;
  platform::ScreenCaptureService* capture = nullptr;
  platform::WindowServer* windowServer = nullptr;  // window capture only
  std::string programPath;  // reported when the permission is missing
  std::string backendName = "x11";
  int inputFd = 0;  // control channel
  int errorFd = 2;
};

Error captureError(std::string message);

}  // namespace pelorin::capture
