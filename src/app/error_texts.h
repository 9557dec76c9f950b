#pragma once

#include <string>

#include "base/error.h"

namespace pelorin::app {

// The domain of a sender that could not be started: the code is the system's, the message the
// sender's path.
inline constexpr const char* senderStartDomain = "SenderStart";

// What the window shows after "Erreur : " for an error: for those a user can meet, French words
// that say what happened and what to do; any other error keeps its own description.
std::string userDescription(const Error& error);

}  // namespace pelorin::app
