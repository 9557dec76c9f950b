#include "capture/portion_updates.h"

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

PortionUpdates::Next PortionUpdates::completed(bool success) {
  if (success && inFlight) applied = *inFlight;
  inFlight.reset();
  if (queued) {
    const Rect next = *queued;
    queued.reset();
    if (next != applied) {
      inFlight = next;
      return {next, std::nullopt};
    }
  }
  if (success) return {};
  return {std::nullopt, applied};
}

}  // namespace pelorin::capture
