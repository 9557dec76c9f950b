#pragma once

// Reading the colour of an NV12 capture frame, for the capture backends' tests.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>

#include "platform/pixel_buffer.h"
#include "support/yuv.h"

namespace pelorin::test {

using platform::PixelBuffer;

inline Yuv yuvAt(PixelBuffer& frame, int x, int y) {
  frame.lock(true);
  const std::uint8_t* luma = frame.planeBase(0);
  const std::uint8_t* chroma = frame.planeBase(1);
  const std::size_t c = static_cast<std::size_t>(y / 2) * frame.bytesPerRow(1) + static_cast<std::size_t>(x / 2) * 2;
  const Yuv value{luma[static_cast<std::size_t>(y) * frame.bytesPerRow(0) + x], chroma[c], chroma[c + 1]};
  frame.unlock(true);
  return value;
}

// Whether the frame shows `rgb` (BT.601 video range) at (x, y).
inline bool shows(PixelBuffer& frame, int x, int y, unsigned long rgb) {
  const Yuv actual = yuvAt(frame, x, y), expected = pelorin::test::bt601(rgb);
  return std::abs(actual.y - expected.y) <= 3 && std::abs(actual.u - expected.u) <= 3 && std::abs(actual.v - expected.v) <= 3;
}

// Expects the frame to show `rgb` (BT.601 video range) at (x, y).
inline void expectColour(PixelBuffer& frame, int x, int y, unsigned long rgb, const std::string& where) {
  const Yuv actual = yuvAt(frame, x, y), expected = pelorin::test::bt601(rgb);
  EXPECT_NEAR(actual.y, expected.y, 3) << where << " at " << x << "," << y;
  EXPECT_NEAR(actual.u, expected.u, 3) << where << " at " << x << "," << y;
  EXPECT_NEAR(actual.v, expected.v, 3) << where << " at " << x << "," << y;
}

// The largest difference of two NV12 frames, sample by sample, and the row it is on (256 for two sizes).
inline std::pair<int, int> largestDifference(PixelBuffer& a, PixelBuffer& b) {
  if (a.width() != b.width() || a.height() != b.height()) return {256, -1};
  std::pair<int, int> largest{0, -1};
  a.lock(true), b.lock(true);
  for (int plane = 0; plane < 2; ++plane) {
    for (int row = 0; row < a.planeHeight(plane); ++row) {
      const std::uint8_t* p = a.planeBase(plane) + row * a.bytesPerRow(plane);
      const std::uint8_t* q = b.planeBase(plane) + row * b.bytesPerRow(plane);
      for (int i = 0; i < a.width(); ++i) largest = std::max(largest, {std::abs(p[i] - q[i]), row << plane});
    }
  }
  a.unlock(true), b.unlock(true);
  return largest;
}

}  // namespace pelorin::test
