#pragma once

#include <cstdio>
#include <cstdlib>

// A broken property is a finding: abort so that libFuzzer keeps the input.
inline void fuzzCheck(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "broken property: %s\n", property);
  std::abort();
}
