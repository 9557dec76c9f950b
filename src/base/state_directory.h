#pragma once

#include <filesystem>

namespace pelorin {

// $XDG_STATE_HOME/Pelorin, or ~/.local/state/Pelorin without it (a relative XDG_STATE_HOME is
// ignored, as the base-directory convention says).
std::filesystem::path pelorinStateDirectory();

}  // namespace pelorin
