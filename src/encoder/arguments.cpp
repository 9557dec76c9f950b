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

std::optional<Source> parseSource(std::string_view word) {
  if (word == "screen") return Source::screen;
  if (word == "synthetic") return Source::synthetic;
  if (word == "window") return Source::window;
  if (word == "portion") return Source::portion;
  return std::nullopt;
}

// The words as given, before validation turns them into Arguments: the stream's numbers stay 64-bit
// until their range is checked, and a word that names no source or profile stays unknown.
struct Draft {
  Arguments a;
  std::optional<Source> source = a.source;
  std::int64_t width = a.run.stream.width;
  std::int64_t height = a.run.stream.height;
  std::int64_t fps = a.run.stream.frameRate.num;
  std::int64_t bitrate = a.run.stream.bitrate;
  std::optional<media::Profile> profile = a.run.stream.profile;
};

bool withinEncoderLimits(const Draft& a) {
  return a.width <= maxSide && a.height <= maxSide && a.width * a.height <= maxArea && a.fps <= maxFps &&
         fitsInt32(a.bitrate);
}

bool isValid(const Draft& d) {
  const capture::CaptureRequest& r = d.a.run;
  if (!d.source || !d.profile) return false;
  const Source source = *d.source;
  if (r.windowTitle && (source != Source::window || r.portion || r.contentWidth < 2 || r.contentHeight < 2)) return false;
  if (!r.windowTitle && r.windowID.has_value() != (source == Source::window)) return false;
  if (r.portion.has_value() != (source == Source::portion)) return false;
  if (source == Source::portion && !r.displayID) return false;
  if (r.windowID && (r.contentWidth != 0 || r.contentHeight != 0)) return false;
  if (d.width < 1 || d.height < 1 || d.fps < 1 || r.durationSeconds < 1) return false;
  // Larger values would be truncated on their way to the encoder, or ask for absurd memory or pacing.
  return withinEncoderLimits(d);
}

using Setter = std::function<std::optional<Error>(Draft&, const std::string&)>;

// An option that takes any value.
template <class Set>
Setter taking(Set set) {
  return [set](Draft& d, const std::string& v) -> std::optional<Error> {
    set(d, v);
    return std::nullopt;
  };
}

// Applies one option; an error for a value the option refuses or for an unknown name.
std::optional<Error> apply(Draft& d, const std::string& name, const std::string& value) {
  using V = const std::string&;
  static const std::map<std::string, Setter> options = {
      {"--source", taking([](Draft& d, V v) { d.source = parseSource(v); })},
      {"--width", taking([](Draft& d, V v) { d.width = integerOrZero(v); })},
      {"--height", taking([](Draft& d, V v) { d.height = integerOrZero(v); })},
      {"--fps", taking([](Draft& d, V v) { d.fps = integerOrZero(v); })},
      {"--bitrate", taking([](Draft& d, V v) { d.bitrate = integerOrZero(v); })},
      {"--profile", taking([](Draft& d, V v) { d.profile = media::parseProfile(v); })},
      {"--duration", taking([](Draft& d, V v) { d.a.run.durationSeconds = integerOrZero(v); })},
      {"--display-id", [](Draft& d, V v) -> std::optional<Error> {
         d.a.run.displayID = parseUInt32(v);
         if (!d.a.run.displayID) return argumentsError("invalid --display-id " + v);
         return std::nullopt;
       }},
      {"--portion", [](Draft& d, V v) -> std::optional<Error> {
         d.a.run.portion = parsePortionArgument(v);
         if (!d.a.run.portion) return argumentsError("invalid --portion " + v);
         return std::nullopt;
       }},
      {"--window-title", taking([](Draft& d, V v) { d.a.run.windowTitle = v; })},
      {"--window-id", taking([](Draft& d, V v) { d.a.run.windowID = parseUInt32(v); })},
      {"--content-width", taking([](Draft& d, V v) { d.a.run.contentWidth = integerOrZero(v); })},
      {"--content-height", taking([](Draft& d, V v) { d.a.run.contentHeight = integerOrZero(v); })},
  };
  const auto option = options.find(name);
  if (option == options.end()) return argumentsError("unknown argument " + name);
  return option->second(d, value);
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
  Draft draft;
  for (std::size_t i = 0; i < words.size(); i += 2) {
    const std::string& name = words[i];
    if (i + 1 >= words.size()) return argumentsError(name + " requires a value");
    if (auto error = apply(draft, name, words[i + 1])) return std::move(*error);
  }
  if (!isValid(draft)) return argumentsError("invalid arguments");
  // Validation has bounded every number to its 32-bit field.
  Arguments arguments = std::move(draft.a);
  arguments.source = *draft.source;
  arguments.run.stream = {static_cast<std::int32_t>(draft.width), static_cast<std::int32_t>(draft.height),
                          {static_cast<std::int32_t>(draft.fps), 1}, static_cast<std::int32_t>(draft.bitrate),
                          *draft.profile};
  return arguments;
}

}  // namespace pelorin::encoder
