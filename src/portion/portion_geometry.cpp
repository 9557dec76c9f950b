#include "portion/portion_geometry.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace pelorin::portion {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

std::string member(const char* key, std::int64_t value) {
  return std::string("\"") + key + "\":" + std::to_string(value);
}

// Whole points, raised to 2 and made even.
double evenSide(double length) {
  auto side = static_cast<std::int64_t>(length);
  side = std::max<std::int64_t>(side, 2);
  return static_cast<double>(side & ~std::int64_t{1});
}

}  // namespace

Rect standardized(const Rect& r) {
  Rect s = r;
  if (s.width < 0) {
    s.x += s.width;
    s.width = -s.width;
  }
  if (s.height < 0) {
    s.y += s.height;
    s.height = -s.height;
  }
  return s;
}

Rect insetBy(const Rect& r, double dx, double dy) {
  return {r.x + dx, r.y + dy, r.width - 2 * dx, r.height - 2 * dy};
}

bool isNull(const Rect& r) { return std::isinf(r.x) || std::isinf(r.y); }

Rect intersection(const Rect& a, const Rect& b) {
  const Rect s = standardized(a), t = standardized(b);
  const double x0 = std::max(s.x, t.x), y0 = std::max(s.y, t.y);
  const double x1 = std::min(maxX(s), maxX(t)), y1 = std::min(maxY(s), maxY(t));
  // Touching edges meet in an empty rectangle, as the window system's own intersection does.
  if (x1 < x0 || y1 < y0) return {infinity, infinity, 0, 0};
  return {x0, y0, x1 - x0, y1 - y0};
}

Rect portionRect(const Rect& selection, const Rect& display) {
  const Rect d = standardized(display);
  const Rect overlap = intersection(selection, d);
  if (isNull(overlap) || overlap.width < 2 || overlap.height < 2) return {};
  const double x = std::floor(overlap.x - d.x);
  const double y = std::floor(maxY(d) - maxY(overlap));
  const double width = std::min(std::floor(d.width - x), std::floor(overlap.width));
  const double height = std::min(std::floor(d.height - y), std::floor(overlap.height));
  return {x, y, evenSide(width), evenSide(height)};
}

Rect portionBorderFrame(const Rect& portion, const Rect& display, double thickness) {
  const Rect inner{display.x + portion.x, maxY(display) - portion.y - portion.height, portion.width, portion.height};
  return insetBy(inner, -thickness, -thickness);
}

BorderDrag borderDragMode(Point p, Size size, double z) {
  if (z < p.x && p.x < size.width - z) return BorderDrag::move();
  if (z < p.y && p.y < size.height - z) return BorderDrag::move();
  return BorderDrag::resize(p.x <= z, p.y <= z);
}

Rect draggedBorderFrame(const Rect& f, BorderDrag mode, Vector delta, Size minimum) {
  if (mode.kind == BorderDrag::Kind::move) return {f.x + delta.dx, f.y + delta.dy, f.width, f.height};
  const double width = std::max(f.width + (mode.left ? -delta.dx : delta.dx), minimum.width);
  const double height = std::max(f.height + (mode.bottom ? -delta.dy : delta.dy), minimum.height);
  const double x = mode.left ? maxX(f) - width : f.x;
  const double y = mode.bottom ? maxY(f) - height : f.y;
  return {x, y, width, height};
}

Rect clampedBorderFrame(const Rect& frame, const Rect& s, double t) {
  const Rect inner = insetBy(frame, t, t);
  const double width = std::min(s.width, inner.width);
  const double height = std::min(s.height, inner.height);
  const double x = std::min(std::max(inner.x, s.x), maxX(s) - width);
  const double y = std::min(std::max(inner.y, s.y), maxY(s) - height);
  return insetBy({x, y, width, height}, -t, -t);
}

std::string portionSelectionJSON(std::uint32_t displayID, const Rect& r) {
  auto truncated = [](double v) { return static_cast<std::int64_t>(std::trunc(v)); };
  return "{" + member("display_id", displayID) + "," + member("x", truncated(r.x)) + "," +
         member("y", truncated(r.y)) + "," + member("width", truncated(r.width)) + "," +
         member("height", truncated(r.height)) + "}";
}

Size pickerSourceSize(Size content, bool followsWindow, const std::vector<Size>& screens) {
  if (!followsWindow || screens.empty()) return content;
  Size best = screens.front();
  for (const Size& s : screens) {
    if (s.width * s.height > best.width * best.height) best = s;
  }
  return best;
}

Rect toScreenSpace(const Rect& r, const Rect& mainDisplay) {
  return {r.x - mainDisplay.x, maxY(mainDisplay) - maxY(r), r.width, r.height};
}

Rect fromScreenSpace(const Rect& r, const Rect& mainDisplay) {
  return {r.x + mainDisplay.x, maxY(mainDisplay) - maxY(r), r.width, r.height};
}

}  // namespace pelorin::portion
