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
std::vector<std::string> wordsOf(const Arguments& arguments, const std::string& portion) {
  using std::to_string;
  const capture::CaptureRequest& a = arguments.run;
  const media::StreamSettings& s = a.stream;
  const char *sources[] = {"screen", "synthetic", "window", "portion"}, *profiles[] = {"baseline", "main", "high"};
  std::vector<std::string> w = {"--source", sources[static_cast<int>(arguments.source)], "--width", to_string(s.width),
                                "--height", to_string(s.height), "--fps", to_string(s.frameRate.num), "--bitrate",
                                to_string(s.bitrate), "--profile", profiles[static_cast<int>(s.profile)], "--duration",
                                to_string(a.durationSeconds), "--content-width", to_string(a.contentWidth),
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
  const capture::CaptureRequest& a = parsed->run;
  const media::StreamSettings& s = a.stream;
  fuzzCheck(s.width >= 1 && s.height >= 1 && s.frameRate.num >= 1 && s.frameRate.den == 1 && a.durationSeconds >= 1,
            "sizes, rate and duration positive");
  fuzzCheck(a.portion.has_value() == (parsed->source == encoder::Source::portion) && (!a.portion || a.displayID),
            "a portion exactly with the portion source, and with a display");
  const auto portion = a.portion ? portionText(*a.portion) : std::string();
  if (!portion) return 0;
  const Result<Arguments> again = encoder::parseArguments(wordsOf(*parsed, *portion));
  fuzzCheck(again && wordsOf(*again, *portion) == wordsOf(*parsed, *portion),
            "accepted arguments printed back parse to themselves");
  return 0;
}
