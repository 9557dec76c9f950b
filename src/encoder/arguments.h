#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "base/geometry.h"

namespace pelorin::encoder {

// The parsed options of one pelorin-encoder run.
struct Arguments {
  std::string source = "screen";
  std::int64_t width = 1920;
  std::int64_t height = 1080;
  std::int64_t fps = 30;
  std::int64_t bitrate = 8000000;
  std::string profile = "baseline";
  std::int64_t duration = 60;
  std::optional<std::uint32_t> displayID;
  std::optional<Rect> portion;
  std::optional<std::string> windowTitle;
  std::optional<std::uint32_t> windowID;
  std::int64_t contentWidth = 0;
  std::int64_t contentHeight = 0;
};

// Parses the option words (the command line without the program path). Failures carry the
// domain "Arguments" and code -1.
Result<Arguments> parseArguments(const std::vector<std::string>& words);

// "x,y,width,height" in display space: x, y >= 0, width and height even and >= 2.
std::optional<Rect> parsePortionArgument(std::string_view text);

}  // namespace pelorin::encoder
