#include "app/sender_protocol.h"

#include <algorithm>
#include <limits>

#include "base/decimal.h"
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

std::vector<StderrReaction> reactToStderr(std::string_view text) {
  std::vector<StderrReaction> reactions;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    const std::string_view line = text.substr(start, end - start);
    if (line.find("pairing result=accepted") != std::string_view::npos) {
      reactions.push_back({StderrReaction::paired, pairedStatus});
    } else if (line.find("state=active") != std::string_view::npos) {
      reactions.push_back({StderrReaction::sharing, sharingStatus});
    } else if (line.find("error:") != std::string_view::npos) {
      reactions.push_back({StderrReaction::failed, "Erreur : " + lastNonEmptyLine(text.substr(start))});
      break;
    }
    start = end + 1;
  }
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
      {"--fps", "30"},
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
