#include "platform/portal/capture_access_portal.h"

#include "platform/portal/restore_token_store.h"
#include "platform/portal/screencast_session.h"

namespace pelorin::platform::portal {
namespace {

// Long enough for a person to make the choice in the portal's dialog.
constexpr std::chrono::minutes chooserTimeout{5};

}  // namespace

bool PortalCaptureAccess::preflight() {
  return ScreenCastSession::probe().ok() && storedRestoreToken(tokenDirectory_).has_value();
}

bool PortalCaptureAccess::request() {
  if (!ScreenCastSession::probe()) return false;
  Result<RestoreTokenLease> lease = RestoreTokenLease::acquire(tokenDirectory_);
  if (!lease) return false;
  SessionOptions options;
  options.startTimeout = chooserTimeout;
  Result<std::unique_ptr<ScreenCastSession>> session = ScreenCastSession::start(options);
  if (!session || (*session)->restoreToken().empty()) return false;
  return lease->replace((*session)->restoreToken()).ok();
}

}  // namespace pelorin::platform::portal
