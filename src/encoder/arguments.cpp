#include "encoder/arguments.h"

#include <functional>
#include <limits>
#include <map>

#include "base/decimal.h"

namespace pelorin::encoder {
namespace {

Error argumentsError(std::string message) { return Error{"Arguments", -1, std::move(message)}; }

std::int64_t integerOrZero(std::string_view text) { return parseInt64(text).value_or(0); }

bool fitsInt32(std::int64_t v) {
  return v >= std::numeric_limits<std::int32_t>::min() && v <= std::numeric_limits<std::int32_t>::max();
}

// The largest picture H.264 levels define (8192 x 4320), and a frame rate no capture reaches.
constexpr std::int64_t maxSide = 8192;
constexpr std::int64_t maxArea = 8192 * 4320;
constexpr std::int64_t maxFps = 240;

bool withinEncoderLimits(const Arguments& a) {
  return a.width <= maxSide && a.height <= maxSide && a.width * a.height <= maxArea && a.fps <= maxFps &&
         fitsInt32(a.bitrate);
}

bool isOneOf(const std::string& value, std::initializer_list<const char*> choices) {
  for (const char* choice : choices) {
    if (value == choice) return true;
  }
  return false;
}

bool isValid(const Arguments& a) {
  if (!isOneOf(a.source, {"screen", "synthetic", "window", "portion"})) return false;
  if (a.windowTitle &&
      (a.source != "window" || a.portion || a.contentWidth < 2 || a.contentHeight < 2)) {
    return false;
  }
  if (!a.windowTitle && a.windowID.has_value() != (a.source == "window")) return false;
  if (a.portion.has_value() != (a.source == "portion")) return false;
  if (a.source == "portion" && !a.displayID) return false;
  if (a.windowID && (a.contentWidth != 0 || a.contentHeight != 0)) return false;
  if (!isOneOf(a.profile, {"high", "main", "baseline"})) return false;
  if (a.width < 1 || a.height < 1 || a.fps < 1 || a.duration < 1) return false;
  // Larger values would be truncated on their way to the encoder, or ask for absurd memory or pacing.
  return withinEncoderLimits(a);
}

// Applies one option; an error for a value the option refuses or for an unknown name.
std::optional<Error> apply(Arguments& a, const std::string& name, const std::string& value) {
  using Setter = std::function<std::optional<Error>(Arguments&, const std::string&)>;
  auto integer = [](std::int64_t Arguments::*field) -> Setter {
    return [field](Arguments& args, const std::string& v) -> std::optional<Error> {
      args.*field = integerOrZero(v);
      return std::nullopt;
    };
  };
  static const std::map<std::string, Setter> options = {
      {"--source", [](Arguments& args, const std::string& v) -> std::optional<Error> {
         args.source = v;
         return std::nullopt;
       }},
      {"--width", integer(&Arguments::width)},
      {"--height", integer(&Arguments::height)},
      {"--fps", integer(&Arguments::fps)},
      {"--bitrate", integer(&Arguments::bitrate)},
      {"--profile", [](Arguments& args, const std::string& v) -> std::optional<Error> {
         args.profile = v;
         return std::nullopt;
       }},
      {"--duration", integer(&Arguments::duration)},
      {"--display-id", [](Arguments& args, const std::string& v) -> std::optional<Error> {
         args.displayID = parseUInt32(v);
         if (!args.displayID) return argumentsError("invalid --display-id " + v);
         return std::nullopt;
       }},
      {"--portion", [](Arguments& args, const std::string& v) -> std::optional<Error> {
         args.portion = parsePortionArgument(v);
         if (!args.portion) return argumentsError("invalid --portion " + v);
         return std::nullopt;
       }},
      {"--window-title", [](Arguments& args, const std::string& v) -> std::optional<Error> {
         args.windowTitle = v;
         return std::nullopt;
       }},
      {"--window-id", [](Arguments& args, const std::string& v) -> std::optional<Error> {
         args.windowID = parseUInt32(v);
         return std::nullopt;
       }},
      {"--content-width", integer(&Arguments::contentWidth)},
      {"--content-height", integer(&Arguments::contentHeight)},
  };
  const auto option = options.find(name);
  if (option == options.end()) return argumentsError("unknown argument " + name);
  return option->second(a, value);
}

}  // namespace

std::optional<Rect> parsePortionArgument(std::string_view text) {
  std::int64_t values[4];
  std::size_t count = 0;
  for (;;) {
    const std::size_t comma = text.find(',');
    const std::string_view piece = text.substr(0, comma);
    if (count == 4) return std::nullopt;
    const auto value = parseInt64(piece);
    if (!value) return std::nullopt;
    values[count++] = *value;
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  if (count != 4) return std::nullopt;
  const auto [x, y, width, height] = values;
  if (x < 0 || y < 0 || width < 2 || height < 2 || width % 2 != 0 || height % 2 != 0) {
    return std::nullopt;
  }
  return Rect{static_cast<double>(x), static_cast<double>(y), static_cast<double>(width),
              static_cast<double>(height)};
}

Result<Arguments> parseArguments(const std::vector<std::string>& words) {
  Arguments arguments;
  for (std::size_t i = 0; i < words.size(); i += 2) {
    const std::string& name = words[i];
    if (i + 1 >= words.size()) return argumentsError(name + " requires a value");
    if (auto error = apply(arguments, name, words[i + 1])) return std::move(*error);
  }
  if (!isValid(arguments)) return argumentsError("invalid arguments");
  return arguments;
}

}  // namespace pelorin::encoder
