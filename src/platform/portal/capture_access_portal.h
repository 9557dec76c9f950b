#pragma once

#include <filesystem>

#include "platform/capture_access.h"

namespace pelorin::platform::portal {

// On a Wayland desktop the permission is a restore token of the ScreenCast portal: capture is
// allowed when the portal answers and a token is stored; asking runs the portal's chooser once
// for all monitors and stores the token it gives.
class PortalCaptureAccess final : public CaptureAccess {
 public:
  explicit PortalCaptureAccess(std::filesystem::path tokenDirectory) : tokenDirectory_(std::move(tokenDirectory)) {}
  bool preflight() override;
  bool request() override;

 private:
  std::filesystem::path tokenDirectory_;
};

}  // namespace pelorin::platform::portal
