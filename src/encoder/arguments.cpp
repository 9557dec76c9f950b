#include "encoder/arguments.h"

#include <charconv>
#include <functional>
#include <limits>
#include <map>

namespace pelorin::encoder {
namespace {

Error argumentsError(std::string message) { return Error{"Arguments", -1, std::move(message)}; }

// Splits an optional sign from the digits; nullopt unless the rest is one or more digits.
std::optional<std::pair<bool, std::string_view>> signAndDigits(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  return std::pair{negative, text};
}

std::int64_t integerOrZero(std::string_view text) { return parseInt64(text).value_or(0); }

bool fitsInt32(std::int64_t v) {
  return v >= std::numeric_limits<std::int32_t>::min() && v <= std::numeric_limits<std::int32_t>::max();
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
  // The encoder takes these as 32-bit values; larger ones are refused rather than truncated.
  return fitsInt32(a.width) && fitsInt32(a.height) && fitsInt32(a.fps) && fitsInt32(a.bitrate);
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

std::optional<std::int64_t> parseInt64(std::string_view text) {
  const auto parts = signAndDigits(text);
  if (!parts) return std::nullopt;
  const auto [negative, digits] = *parts;
  // Parse the magnitude as unsigned so that INT64_MIN is representable.
  std::uint64_t magnitude = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  constexpr std::uint64_t maxPositive = std::numeric_limits<std::int64_t>::max();
  if (!negative) {
    if (magnitude > maxPositive) return std::nullopt;
    return static_cast<std::int64_t>(magnitude);
  }
  if (magnitude > maxPositive + 1) return std::nullopt;
  return magnitude == maxPositive + 1 ? std::numeric_limits<std::int64_t>::min()
                                      : -static_cast<std::int64_t>(magnitude);
}

std::optional<std::uint32_t> parseUInt32(std::string_view text) {
  const auto parts = signAndDigits(text);
  if (!parts) return std::nullopt;
  const auto [negative, digits] = *parts;
  std::uint64_t magnitude = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  if (negative) {
    // "-0" is the only negative spelling inside the unsigned range.
    if (magnitude != 0) return std::nullopt;
    return 0u;
  }
  if (magnitude > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  return static_cast<std::uint32_t>(magnitude);
}

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
