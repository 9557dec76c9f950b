// The option words (split at NUL bytes) and the --portion text.
#include <algorithm>
#include <cmath>

#include "encoder/arguments.h"
#include "fuzz_check.h"

using namespace pelorin;
using encoder::Arguments;

namespace {

// Doubles hold every integer only up to 2^53: beyond that a portion's text cannot come back unchanged.
std::optional<std::string> portionText(const Rect& r) {
  if (std::max({r.x, r.y, r.width, r.height}) > 9007199254740992.0) return std::nullopt;
  char text[128];
  std::snprintf(text, sizeof text, "%.0f,%.0f,%.0f,%.0f", r.x, r.y, r.width, r.height);
  return text;
}

// Every field as option words.
std::vector<std::string> wordsOf(const Arguments& a, const std::string& portion) {
  using std::to_string;
  std::vector<std::string> w = {"--source", a.source, "--width", to_string(a.width), "--height", to_string(a.height),
                                "--fps", to_string(a.fps), "--bitrate", to_string(a.bitrate), "--profile", a.profile,
                                "--duration", to_string(a.duration), "--content-width", to_string(a.contentWidth),
                                "--content-height", to_string(a.contentHeight)};
  if (a.displayID) w.insert(w.end(), {"--display-id", to_string(*a.displayID)});
  if (a.windowID) w.insert(w.end(), {"--window-id", to_string(*a.windowID)});
  if (a.windowTitle) w.insert(w.end(), {"--window-title", *a.windowTitle});
  if (a.portion) w.insert(w.end(), {"--portion", portion});
  return w;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(fuzzText(data, size));
  if (const auto rect = encoder::parsePortionArgument(input)) {
    const auto evenSide = [](double side) { return side >= 2 && std::fmod(side, 2) == 0; };
    fuzzCheck(rect->x >= 0 && rect->y >= 0 && evenSide(rect->width) && evenSide(rect->height),
              "a portion has a non-negative origin and even sides of at least 2");
    const auto printed = portionText(*rect);
    fuzzCheck(!printed || encoder::parsePortionArgument(*printed) == rect, "a portion printed back parses to itself");
  }

  const auto words = input.empty() ? std::vector<std::string>{} : splitAt(input, '\0');
  const Result<Arguments> parsed = encoder::parseArguments(words);
  if (!parsed) {
    const Error& e = parsed.error();
    const std::string& m = e.message;
    fuzzCheck(e.domain == "Arguments" && e.code == -1 &&
                  (m == "invalid arguments" || m.ends_with(" requires a value") || m.starts_with("unknown argument ") ||
                   m.starts_with("invalid --display-id ") || m.starts_with("invalid --portion ")),
              "a failure is one of the five");
    return 0;
  }
  const Arguments& a = *parsed;
  const auto fitsInt32 = [](std::int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; };
  fuzzCheck(a.width >= 1 && a.height >= 1 && a.fps >= 1 && a.duration >= 1, "sizes, rate and duration positive");
  fuzzCheck(fitsInt32(a.width * a.height) && fitsInt32(a.fps) && fitsInt32(a.bitrate),
            "values handed to the encoder fit 32 bits");
  fuzzCheck(a.portion.has_value() == (a.source == "portion") && (!a.portion || a.displayID),
            "a portion exactly with the portion source, and with a display");
  const auto portion = a.portion ? portionText(*a.portion) : std::string();
  if (!portion) return 0;
  const Result<Arguments> again = encoder::parseArguments(wordsOf(a, *portion));
  fuzzCheck(again && wordsOf(*again, *portion) == wordsOf(a, *portion),
            "accepted arguments printed back parse to themselves");
  return 0;
}
