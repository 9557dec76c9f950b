#include "capture/crop_geometry.h"

#include <algorithm>
#include <cmath>

namespace pelorin::capture {
namespace {

// The smaller of frame and content; the content value when the comparison is unordered (NaN).
double smallerOrContent(double frame, double content) { return frame < content ? frame : content; }

}  // namespace

Rect contentCrop(Size frame, Size content) {
  const double w = smallerOrContent(frame.width, content.width);
  const double h = smallerOrContent(frame.height, content.height);
  const double x = (frame.width - w) * 0.5;
  const double slack = frame.height - h;
  const double y = slack - std::min(slack, x);
  return {x, y, w, h};
}

Rect letterboxRect(Size content, Size output) {
  const double sx = output.width / content.width;
  const double sy = output.height / content.height;
  const double s = sy < sx ? sy : sx;
  const double w = std::round(content.width * s);
  const double h = std::round(content.height * s);
  return {std::round((output.width - w) * 0.5), std::round((output.height - h) * 0.5), w, h};
}

}  // namespace pelorin::capture
