#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "base/geometry.h"
#include "capture/capture_request.h"

namespace pelorin::encoder {

enum class Source { screen, synthetic, window, portion };

// The parsed options of one pelorin-encoder run: the mode, and what it captures and encodes.
struct Arguments {
  Source source = Source::screen;
  capture::CaptureRequest run;
};

// Parses the option words (the command line without the program path). Failures carry the
// domain "Arguments" and code -1.
Result<Arguments> parseArguments(const std::vector<std::string>& words);

// "x,y,width,height" in display space: x, y >= 0, width and height even and >= 2.
std::optional<Rect> parsePortionArgument(std::string_view text);

}  // namespace pelorin::encoder
