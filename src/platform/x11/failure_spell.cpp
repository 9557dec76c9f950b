#include "platform/x11/failure_spell.h"

#include <string>

namespace pelorin::platform::x11 {

std::optional<Error> FailureSpell::fail(const Error& reason, Clock::time_point now) {
  if (!since_) since_ = now;
  if (now - *since_ < limit_) return std::nullopt;
  const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(limit_).count();
  return Error{reason.domain, reason.code,
               "no picture could be read for " + std::to_string(milliseconds) + " ms: " + reason.message};
}

}  // namespace pelorin::platform::x11
