#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace pelorin::bench {

// Median wall time of one call of `work`, in nanoseconds, over `rounds` rounds of `iterations`.
template <class Work>
double medianNanoseconds(Work&& work, int iterations, int rounds = 9) {
  std::vector<double> perCall;
  for (int r = 0; r < rounds; ++r) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < iterations; ++i) work();
    const std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
    perCall.push_back(spent.count() / iterations);
  }
  std::nth_element(perCall.begin(), perCall.begin() + rounds / 2, perCall.end());
  return perCall[rounds / 2];
}

// The median of a non-empty list.
inline double median(std::vector<double> values) {
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

// One result line: "name ours=... baseline=... ratio=... goal<=..." and whether it met the goal.
inline bool reportRatio(const std::string& name, double ours, double baseline, double goal, const char* unit) {
  const double ratio = baseline > 0 ? ours / baseline : 0.0;
  std::printf("%s ours=%.3f%s baseline=%.3f%s ratio=%.3f goal<=%.2f %s\n", name.c_str(), ours, unit, baseline, unit,
              ratio, goal, ratio <= goal ? "met" : "MISSED");
  return ratio <= goal;
}

}  // namespace pelorin::bench
