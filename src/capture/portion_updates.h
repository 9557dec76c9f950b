#pragma once

#include <optional>

#include "base/geometry.h"

namespace pelorin::capture {

// Coalescing of live portion changes (display space): one reconfiguration in flight, only the
// latest request queued behind it, and the applied portion to show again after a failure.
struct PortionUpdates {
  explicit PortionUpdates(const Rect& applied) : applied(applied) {}

  // The portion to send now, if any.
  std::optional<Rect> request(const Rect& portion);

  // The sent reconfiguration was answered; the queued portion to send next, if any.
  std::optional<Rect> completed(bool success);

  Rect applied;
  std::optional<Rect> inFlight;
  std::optional<Rect> queued;
};

}  // namespace pelorin::capture
