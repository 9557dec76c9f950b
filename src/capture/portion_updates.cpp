#include "capture/portion_updates.h"

#include <utility>

namespace pelorin::capture {

std::optional<Rect> PortionUpdates::request(const Rect& portion) {
  if (inFlight) {
    queued = portion;
    return std::nullopt;
  }
  if (portion == applied) return std::nullopt;
  inFlight = portion;
  return portion;
}

std::optional<Rect> PortionUpdates::completed(bool success) {
  if (success && inFlight) applied = *inFlight;
  inFlight.reset();
  const std::optional<Rect> next = std::exchange(queued, std::nullopt);
  if (!next || *next == applied) return std::nullopt;
  inFlight = next;
  return next;
}

}  // namespace pelorin::capture
