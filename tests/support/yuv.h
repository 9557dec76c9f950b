#pragma once

#include <cstddef>

namespace pelorin::test {

struct Yuv {
  int y = 0, u = 0, v = 0;
};

// BT.601 video-range values of an 0xRRGGBB colour: what the capture's conversion produces and the
// stream signals.
inline Yuv bt601(unsigned long rgb) {
  const double r = ((rgb >> 16) & 0xff) / 255.0, g = ((rgb >> 8) & 0xff) / 255.0, b = (rgb & 0xff) / 255.0;
  return {static_cast<int>(16 + 65.481 * r + 128.553 * g + 24.966 * b + 0.5),
          static_cast<int>(128 - 37.797 * r - 74.203 * g + 112.0 * b + 0.5),
          static_cast<int>(128 + 112.0 * r - 93.786 * g - 18.214 * b + 0.5)};
}

// Whether chroma planes show the portion frame's red band anywhere, even a sliver of a pixel that
// chroma subsampling and scaling blend with its neighbours: no test backdrop is that red.
template <class Plane>
bool showsBand(const Plane& u, const Plane& v) {
  for (std::size_t i = 0; i < v.size() && i < u.size(); ++i) if (v[i] > 150 && u[i] < 120) return true;
  return false;
}

}  // namespace pelorin::test
