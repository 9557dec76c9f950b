#pragma once

// Free of X11: tells when the reads of a source have failed without a break for too long, so a
// source that cannot be read stops its stream instead of leaving it running without frames.

#include <chrono>
#include <optional>

#include "base/error.h"

namespace pelorin::platform::x11 {

class FailureSpell {
 public:
  using Clock = std::chrono::steady_clock;

  explicit FailureSpell(Clock::duration limit) : limit_(limit) {}

  // Records a failed read at `now`; once failures have lasted the limit, the error to stop with,
  // which keeps the reason of this failure.
  std::optional<Error> fail(const Error& reason, Clock::time_point now);
  // A read succeeded: the spell is over.
  void succeed() { since_.reset(); }

 private:
  Clock::duration limit_;
  std::optional<Clock::time_point> since_;  // the first failure of the current spell
};

}  // namespace pelorin::platform::x11
