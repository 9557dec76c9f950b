#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/media_time.h"

namespace pelorin::media {

enum class Profile { baseline, main, high };

// The profile a word names exactly ("baseline", "main", "high"), or nothing.
inline std::optional<Profile> parseProfile(std::string_view word) {
  if (word == "baseline") return Profile::baseline;
  if (word == "main") return Profile::main;
  if (word == "high") return Profile::high;
  return std::nullopt;
}

// What the encoded stream is: parsed once, then handed on by reference to the encoder and the
// capture, each converting at its own edge.
struct StreamSettings {
  std::int32_t width = 1920;
  std::int32_t height = 1080;
  platform::FrameRate frameRate = platform::defaultFrameRate;  // also the key-frame interval in frames
  std::int32_t bitrate = 8000000;  // 0 or less: no bit-rate target, constant quality
  Profile profile = Profile::baseline;
};

}  // namespace pelorin::media
