#include "portion/portion_geometry.h"

#include <gtest/gtest.h>

namespace pelorin::portion {
namespace {

const Rect display{0, 0, 1440, 900};

TEST(PortionRect, CutsFloorsAndEvensTheOverlapAndTheBorderGivesItBack) {
  const struct {
    Rect selection, display, portion;
  } cases[] = {
      {{100, 600, 400, 200}, display, {100, 100, 400, 200}},     // y = 900 - 800
      {{100, 300, 641.7, 360.2}, display, {100, 239, 640, 360}}, // floor, then even
      {{1300, 100, 400, 200}, display, {1300, 600, 140, 200}},   // cut at the right edge
      {{1438.1, 100, 40, 200}, display, {}},                     // 1.9 points wide
      {{1438, 898, 40, 40}, display, {1438, 0, 2, 2}},           // exactly 2 x 2
      {{2000, 100, 400, 200}, display, {}},                      // wholly outside
      {{500, 300, -400, -200}, display, {100, 600, 400, 200}},   // standardized first
      {{2000, 100, 400, 300}, {1440, 0, 1920, 1080}, {560, 680, 400, 300}},  // a second display
  };
  for (const auto& c : cases) EXPECT_EQ(portionRect(c.selection, c.display), c.portion) << c.selection.x;
  const Rect frame = portionBorderFrame({100, 100, 400, 200}, display, 6);
  EXPECT_EQ(frame, (Rect{94, 594, 412, 212}));
  EXPECT_EQ(portionRect(insetBy(frame, 6, 6), display), (Rect{100, 100, 400, 200}));
  const Rect right{1440, -180, 1920, 1080};
  EXPECT_EQ(portionRect(insetBy(portionBorderFrame({20, 40, 640, 360}, right, 6), 6, 6), right),
            (Rect{20, 40, 640, 360}));
}

TEST(BorderDrag, OnlyTheCornerSquaresResizeAndTheFrameStaysOnTheScreen) {
  const std::pair<Point, BorderDrag> modes[] = {
      {{10, 10}, BorderDrag::resize(true, true)},   {{400, 200}, BorderDrag::resize(false, false)},
      {{10, 200}, BorderDrag::resize(true, false)}, {{400, 10}, BorderDrag::resize(false, true)},
      {{10, 100}, BorderDrag::move()},              {{200, 5}, BorderDrag::move()},
      {{24, 24}, BorderDrag::resize(true, true)},   {{388, 188}, BorderDrag::resize(false, false)},
  };
  for (const auto& [point, mode] : modes) EXPECT_EQ(borderDragMode(point, {412, 212}, 24), mode) << point.x << point.y;

  const struct {
    BorderDrag mode;
    Vector delta;
    Rect frame;
  } drags[] = {
      {BorderDrag::move(), {-50, 30}, {50, 130, 400, 300}},
      {BorderDrag::resize(false, false), {20, 10}, {100, 100, 420, 310}},       // top-right grows
      {BorderDrag::resize(true, true), {20, 10}, {120, 110, 380, 290}},         // bottom-left shrinks
      {BorderDrag::resize(false, true), {-30, -40}, {100, 60, 370, 340}},
      {BorderDrag::resize(true, true), {350, 250}, {328, 268, 172, 132}},       // minimum, right and top kept
      {BorderDrag::resize(false, false), {-1000, -1000}, {100, 100, 172, 132}}, // minimum, left and bottom kept
  };
  for (const auto& d : drags) {
    EXPECT_EQ(draggedBorderFrame({100, 100, 400, 300}, d.mode, d.delta, {172, 132}), d.frame) << d.delta.dx;
  }

  const Rect screen{1920, 0, 1920, 1080};  // a second screen
  const std::pair<Rect, Rect> clamps[] = {
      {{2020, 100, 412, 212}, {2020, 100, 412, 212}},   // already inside
      {{1720, 100, 412, 212}, {1914, 100, 412, 212}},   // half off the left edge
      {{3720, 1000, 412, 212}, {3434, 874, 412, 212}},  // off the top-right corner
      {{1870, -50, 3000, 2000}, {1914, -6, 1932, 1092}},  // larger than the screen
  };
  for (const auto& [frame, clamped] : clamps) EXPECT_EQ(clampedBorderFrame(frame, screen, 6), clamped);
}

TEST(PortionConversions, PickerSizeAndScreenSpace) {
  // A window may go fullscreen: it follows the largest screen, the first of equal areas.
  const std::vector<Size> screens{{1920, 1080}, {2560, 1440}, {1440, 2560}};
  EXPECT_EQ(pickerSourceSize({800, 600}, false, screens), (Size{800, 600}));
  EXPECT_EQ(pickerSourceSize({800, 600}, true, {}), (Size{800, 600}));
  EXPECT_EQ(pickerSourceSize({800, 600}, true, screens), (Size{2560, 1440}));
  const Rect main{1920, 0, 1920, 1080};  // the main display is the right one
  const Rect left{0, 0, 1920, 1200}, inLeft{-1920, -120, 1920, 1200};
  EXPECT_EQ(toScreenSpace(left, main), inLeft);
  EXPECT_EQ(fromScreenSpace(inLeft, main), left);
  EXPECT_EQ(toScreenSpace({100, 50, 400, 300}, main), (Rect{-1820, 730, 400, 300}));
}

}  // namespace
}  // namespace pelorin::portion
