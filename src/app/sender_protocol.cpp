#include "app/sender_protocol.h"

#include <algorithm>
#include <limits>

#include "app/share_rate.h"
#include "base/decimal.h"
#include "base/utf8.h"
#include "base/words.h"

namespace pelorin::app {
namespace {

// A decimal integer that fits an int: the encoder takes 32-bit sizes.
std::optional<int> decimal(std::string_view text) {
  const auto value = parseInt64(text);
  if (!value || *value < std::numeric_limits<int>::min() || *value > std::numeric_limits<int>::max())
    return std::nullopt;
  return static_cast<int>(*value);
}

// The markers of standard error; none holds another or a line feed.
constexpr std::pair<std::string_view, StderrReaction::Kind> stderrMarkers[] = {
    {"pairing result=accepted", StderrReaction::paired},
    {"state=active", StderrReaction::sharing},
    {"error:", StderrReaction::failed},
};
// An unended line is kept up to this, for the status it may end up showing.
constexpr std::size_t maxCarriedBytes = 65536;

std::string lastNonEmptyLine(std::string_view text) {
  std::string_view last;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) last = text.substr(start, end - start);
    start = end + 1;
  }
  return std::string(last);
}

}  // namespace

ControlLine parseControlLine(std::string_view line) {
  if (line == "KEYFRAME") return KeyframeLine{};
  const auto words = spaceSeparatedWords(line);
  if (words.size() != 4 || words[0] != "READY") return {};
  const auto width = decimal(words[1]);
  const auto height = decimal(words[2]);
  if (!width || !height) return {};
  return ReadyLine{*width, *height, std::string(words[3])};
}

std::vector<StderrReaction> StderrScanner::scan(std::string_view read) {
  const std::size_t carried = line_.size();
  const std::string text = line_ + std::string(read);
  std::vector<std::pair<std::size_t, StderrReaction::Kind>> found;
  for (const auto& [marker, kind] : stderrMarkers) {
    for (std::size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + 1)) {
      if (at + marker.size() > carried) found.emplace_back(at, kind);  // not counted before
    }
  }
  std::ranges::sort(found);
  std::vector<StderrReaction> reactions;
  for (const auto& [at, kind] : found) {
    if (kind != StderrReaction::failed) {
      reactions.push_back({kind, kind == StderrReaction::paired ? pairedStatus : sharingStatus});
      continue;
    }
    const std::size_t lineStart = text.rfind('\n', at) + 1;  // 0 when the line began before
    const std::string last = lastNonEmptyLine(std::string_view(text).substr(lineStart));
    reactions.push_back({kind, "Erreur : " + utf8WithReplacements(last)});
    break;
  }
  const std::size_t lineEnd = text.rfind('\n');
  line_ = lineEnd == std::string::npos ? text : text.substr(lineEnd + 1);
  if (line_.size() > maxCarriedBytes) line_.erase(0, line_.size() - maxCarriedBytes);
  return reactions;
}

std::vector<std::string> senderArguments(const std::string& code, const std::string& certificateAuthority, int width,
                                         int height, const std::vector<ReceiverAddress>& receivers) {
  const std::pair<const char*, std::string> options[] = {
      {"--pairing-code", code},
      {"--public-ip", receivers.empty() ? std::string() : receivers.front().publicIP},
      {"--tls-ca", certificateAuthority},
      {"--width", std::to_string(width)},
      {"--height", std::to_string(height)},
      {"--fps", std::to_string(shareFrameRate.num / shareFrameRate.den)},
      {"--duration", "86400"},
  };
  std::vector<std::string> out{"--frames-stdin"};
  for (const auto& [name, value] : options) {
    out.push_back(name);
    out.push_back(value);
  }
  for (const auto& receiver : receivers) {
    out.push_back("--destination");
    out.push_back(receiver.destination);
  }
  return out;
}

std::string senderLaunchLine(int width, int height, const std::vector<ReceiverAddress>& receivers) {
  std::string destinations;
  for (const auto& receiver : receivers) {
    if (!destinations.empty()) destinations += ",";
    destinations += receiver.destination;
  }
  return "sender_launch width=" + std::to_string(width) + " height=" + std::to_string(height) +
         " destinations=" + destinations;
}

std::string senderExitLine(int status) { return "sender_exit status=" + std::to_string(status); }

std::string senderExitFailure(int status) { return "Erreur du sender (code " + std::to_string(status) + ")."; }

}  // namespace pelorin::app
