#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/geometry.h"

namespace pelorin {
class Wakeup;
}

namespace pelorin::platform::portal {

// The code of a session's error when the user cancelled the portal's chooser.
inline constexpr std::int64_t chooserCancelled = 1;

// One stream of a started session: a monitor's (or window's) PipeWire node, with the monitor's
// logical position and size when the portal tells them.
struct PortalStream {
  std::uint32_t nodeId = 0;
  std::optional<std::pair<int, int>> position;
  std::optional<std::pair<int, int>> size;
  // A window; only where windows were offered, as xdg-desktop-portal-wlr calls its monitors windows.
  bool window = false;
};

struct SessionOptions {
  // The token of an earlier choice; empty makes the portal ask the user.
  std::string restoreToken;
  bool embedCursor = true;
  // How long SelectSources and Start may take (either may show the chooser): a chooser the user
  // answers needs long, a restored choice does not.
  std::chrono::milliseconds startTimeout{15000};
  // Windows offered beside the monitors, where the portal has them.
  bool offerWindows = false;
  // A choice the portal keeps (all monitors, a restore token handed out) or a one-off of one source.
  bool persistent = true;
  // When woken, the wait for the user ends as a cancel: a choice nobody wants any more.
  const Wakeup* abandon = nullptr;
};

// A ScreenCast portal session of all the user's monitors (several sources, kept by the portal
// across sessions), on its own session-bus connection. Closed when destroyed. Used by one thread
// at a time.
class ScreenCastSession {
 public:
  // Whether the portal's ScreenCast interface answers and offers monitors.
  static Result<void> probe();
  // CreateSession, SelectSources, Start: a running session or why there is none.
  static Result<std::unique_ptr<ScreenCastSession>> start(const SessionOptions& options);

  ~ScreenCastSession();
  ScreenCastSession(const ScreenCastSession&) = delete;
  ScreenCastSession& operator=(const ScreenCastSession&) = delete;

  const std::vector<PortalStream>& streams() const;
  // The token that restores this choice next time; empty when the portal gave none.
  const std::string& restoreToken() const;
  // A new connection to the session's PipeWire remote; the caller owns the descriptor.
  Result<int> openPipeWireRemote();

 private:
  struct Impl;
  explicit ScreenCastSession(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// The stream showing the monitor at `frame` (logical points): the one whose position and size
// are the frame's, else, when the portal gives no position, the only one of that size.
std::optional<PortalStream> streamForMonitor(const std::vector<PortalStream>& streams, const Rect& frame);

}  // namespace pelorin::platform::portal
