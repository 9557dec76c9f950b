#pragma once

namespace pelorin {

// A rectangle in points: origin and size, as doubles.
struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  friend bool operator==(const Rect&, const Rect&) = default;
};

}  // namespace pelorin
