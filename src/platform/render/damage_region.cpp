#include "platform/render/damage_region.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace pelorin::platform::render {
namespace {

// Beyond this many pieces, pairwise merging is dearer than the pixels it saves.
constexpr std::size_t mostPieces = 64;

// The cheapest pair to merge: overlapping pairs first, then the least area added.
std::pair<std::size_t, std::size_t> cheapestPair(const std::vector<PixelRect>& boxes) {
  std::pair<std::size_t, std::size_t> best{0, 1};
  std::int64_t bestCost = std::numeric_limits<std::int64_t>::max();
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    for (std::size_t j = i + 1; j < boxes.size(); ++j) {
      const std::int64_t added = areaOf(unite(boxes[i], boxes[j])) - areaOf(boxes[i]) - areaOf(boxes[j]);
      const std::int64_t cost = intersects(boxes[i], boxes[j]) ? std::numeric_limits<std::int64_t>::min() : added;
      if (cost < bestCost) {
        bestCost = cost;
        best = {i, j};
      }
    }
  }
  return best;
}

bool anyOverlap(const std::vector<PixelRect>& boxes) {
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    for (std::size_t j = i + 1; j < boxes.size(); ++j) {
      if (intersects(boxes[i], boxes[j])) return true;
    }
  }
  return false;
}

// [from, to) of one axis through the scale `factor`, grown by `reach`, placed at `origin`, on
// even offsets from it (a chroma sample is made of two pixels each way) and cut to
// [origin, origin + size).
std::pair<int, int> reachedSpan(int from, int to, double factor, int reach, int origin, int size) {
  const int first = static_cast<int>(std::floor(from * factor)) - reach;
  const int last = (static_cast<int>(std::ceil(to * factor)) + reach + 1) & ~1;
  const int start = std::max(0, first) & ~1;
  return {origin + start, origin + std::min(size, std::max(start, last))};
}

}  // namespace

PixelRect unite(const PixelRect& a, const PixelRect& b) {
  if (a.empty()) return b;
  if (b.empty()) return a;
  const int x0 = std::min(a.x, b.x);
  const int y0 = std::min(a.y, b.y);
  const int x1 = std::max(a.x + a.width, b.x + b.width);
  const int y1 = std::max(a.y + a.height, b.y + b.height);
  return {x0, y0, x1 - x0, y1 - y0};
}

std::int64_t areaOf(const PixelRect& r) { return r.empty() ? 0 : std::int64_t{r.width} * r.height; }

std::int64_t areaOf(const std::vector<PixelRect>& rects) {
  std::int64_t total = 0;
  for (const PixelRect& r : rects) total += areaOf(r);
  return total;
}

bool coversMostOf(const std::vector<PixelRect>& boxes, const PixelRect& whole) {
  return 2 * areaOf(boxes) > areaOf(whole);
}

std::vector<PixelRect> mergeBoxes(std::vector<PixelRect> rects, std::size_t limit) {
  std::erase_if(rects, [](const PixelRect& r) { return r.empty(); });
  if (rects.size() > mostPieces) {
    PixelRect all;
    for (const PixelRect& r : rects) all = unite(all, r);
    return {all};
  }
  limit = std::max<std::size_t>(limit, 1);
  while (rects.size() > limit || anyOverlap(rects)) {
    const auto [i, j] = cheapestPair(rects);
    rects[i] = unite(rects[i], rects[j]);
    rects.erase(rects.begin() + static_cast<std::ptrdiff_t>(j));
  }
  return rects;
}

PixelRect reachedPixels(const FrameLayout& layout, const PixelRect& changed) {
  const PixelRect& s = layout.source;
  const PixelRect& p = layout.placement;
  const PixelRect within = intersect(changed, PixelRect{0, 0, s.width, s.height});
  if (within.empty()) return {};
  const double xFactor = static_cast<double>(p.width) / s.width;
  const double yFactor = static_cast<double>(p.height) / s.height;
  // A bilinear or box filter reads the neighbours of a source pixel: up to one output pixel
  // beyond its image when shrinking, the whole step between two source pixels when enlarging.
  const bool scaled = p.width != s.width || p.height != s.height;
  const int xReach = scaled ? static_cast<int>(std::ceil(xFactor)) + 2 : 0;
  const int yReach = scaled ? static_cast<int>(std::ceil(yFactor)) + 2 : 0;
  const auto [x0, x1] = reachedSpan(within.x, within.x + within.width, xFactor, xReach, p.x, p.width);
  const auto [y0, y1] = reachedSpan(within.y, within.y + within.height, yFactor, yReach, p.y, p.height);
  return {x0, y0, x1 - x0, y1 - y0};
}

}  // namespace pelorin::platform::render
