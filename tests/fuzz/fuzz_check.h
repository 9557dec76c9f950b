#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

// A broken property is a finding: abort so that libFuzzer keeps the input.
inline void fuzzCheck(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "broken property: %s\n", property);
  std::abort();
}

inline std::string_view fuzzText(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// Every piece between separators, the last one too, even when empty.
inline std::vector<std::string> splitAt(std::string_view text, char separator) {
  std::vector<std::string> pieces(1);
  for (char c : text) c == separator ? pieces.emplace_back() : pieces.back() += c;
  return pieces;
}
