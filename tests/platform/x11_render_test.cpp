// Frame geometry and pixel work of the X11 backend, without a display.

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "platform/render/damage_region.h"
#include "platform/x11/failure_spell.h"
#include "platform/x11/frame_render.h"
#include "platform/x11_test_helpers.h"

namespace pelorin::platform::x11 {
namespace {

using test::expectColour;
using test::sized;

std::vector<std::uint8_t> solidBgrx(int width, int height, std::uint32_t rgb) {
  const std::uint8_t pixel[4] = {std::uint8_t(rgb), std::uint8_t(rgb >> 8), std::uint8_t(rgb >> 16), 0};
  std::vector<std::uint8_t> pixels;
  for (int i = 0; i < width * height; ++i) pixels.insert(pixels.end(), pixel, pixel + 4);
  return pixels;
}

TEST(X11FrameLayout, FitsCropsAndPlacesTheContent) {
  const struct {
    const char* what;
    int contentWidth, contentHeight;
    StreamConfiguration configuration;
    PixelRect source, placement;
    double contentScale;
  } cases[] = {
      {"taller content: bars at the sides", 1920, 1200, {1280, 720}, {0, 0, 1920, 1200}, {64, 0, 1152, 720}, 0.6},
      // 1000 x 562.5 rounds to an even height, centred on an even row.
      {"wider content: bars above and below", 1920, 1080, {1000, 1000}, {0, 0, 1920, 1080}, {0, 218, 1000, 562},
       1000.0 / 1920},
      // A fractional edge takes in the whole pixel it touches; 641 wide limits the scale to
      // 1280/641: 719 rows, rounded to an even 718.
      {"cropped and scaled up", 1920, 1200, {.width = 1280, .height = 720, .sourceRect = Rect{100.5, 50, 640, 360}},
       {100, 50, 641, 360}, {0, 0, 1280, 718}, 1280.0 / 641},
      {"crop clipped to the display", 1920, 1200, {.width = 640, .height = 480, .sourceRect = Rect{1800, 1100, 400, 400}},
       {1800, 1100, 120, 100}, {32, 0, 576, 480}, 4.8},
      {"into the destination", 1920, 1080, {.width = 1920, .height = 1080, .destinationRect = Rect{960, 540, 960, 540}},
       {0, 0, 1920, 1080}, {960, 540, 960, 540}, 0.5},
      {"stretched", 1920, 1200, {.width = 1280, .height = 720, .preservesAspectRatio = false}, {0, 0, 1920, 1200},
       {0, 0, 1280, 720}, 1280.0 / 1920},
      {"pixel for pixel, cut off", 1920, 400, {.width = 800, .height = 600, .scalesToFit = false}, {0, 0, 800, 400},
       {0, 0, 800, 400}, 1.0},
      {"no frame size: the source's", 1920, 1080, {}, {0, 0, 1920, 1080}, {0, 0, 1920, 1080}, 1.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Result<FrameLayout> layout = computeLayout(c.contentWidth, c.contentHeight, c.configuration);
    ASSERT_TRUE(layout.ok()) << layout.error().message;
    EXPECT_EQ(layout->source, c.source);
    EXPECT_EQ(layout->placement, c.placement);
    EXPECT_NEAR(layout->contentScale, c.contentScale, 1e-9);
    EXPECT_EQ(layout->frameWidth, c.configuration.width ? c.configuration.width : c.contentWidth);
  }

  // Crops off the content or destinations off the frame, and content of no size.
  EXPECT_FALSE(computeLayout(1920, 1200, {.width = 640, .height = 480, .sourceRect = Rect{3000, 0, 100, 100}}).ok());
  EXPECT_FALSE(computeLayout(1920, 1200, {.width = 640, .height = 480, .destinationRect = Rect{700, 0, 100, 100}}).ok());
  EXPECT_FALSE(computeLayout(0, 1200, {640, 480}).ok());
}

// One reused buffer, filled white edge to edge first: the bars are black (video range) again.
TEST(X11FrameRender, ConvertsLetterboxesAndAveragesIntoVideoRangeNV12OverAReusedBuffer) {
  constexpr unsigned long white = 0xffffff, red = 0xff0000, blue = 0x0000ff;
  // Alternating black and white columns average to mid grey when halved.
  std::vector<std::uint8_t> stripes;
  for (int i = 0; i < 128 * 128; ++i) stripes.insert(stripes.end(), 4, i % 2 ? 0 : 0xff);
  const struct {
    const char* what;
    int width, height;
    std::vector<std::uint8_t> pixels;
    std::vector<std::tuple<int, int, unsigned long>> points;
  } cases[] = {
      {"white", 64, 64, solidBgrx(64, 64, white), {{2, 2, white}}},
      {"bars above and below", 128, 64, solidBgrx(128, 64, red),
       {{10, 2, 0}, {63, 15, 0}, {0, 16, red}, {33, 40, red}, {63, 47, red}, {20, 48, 0}, {20, 63, 0}}},
      {"bars at the sides, sharing chroma rows with the content", 32, 64, solidBgrx(32, 64, blue),
       {{2, 2, 0}, {48, 32, 0}, {61, 60, 0}, {32, 32, blue}}},
      {"averaged", 128, 128, stripes, {{10, 10, 0x808080}}},
  };
  auto pool = NV12BufferPool::create(64, 64, 1);
  std::vector<std::uint8_t> scratch;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PixelBufferRef frame = pool->makeBuffer();
    ASSERT_TRUE(frame);
    const BgrxView view{c.pixels.data(), static_cast<std::size_t>(c.width) * 4, c.width, c.height};
    ASSERT_TRUE(renderFrame(view, *computeLayout(c.width, c.height, sized(64, 64)), *frame, scratch));
    for (const auto& [x, y, rgb] : c.points) expectColour(*frame, x, y, rgb, "");
  }
}

// Damage in any pieces: a few boxes that hold every piece and do not overlap; two pieces side by
// side cost nothing to join, and very many are one box.
TEST(X11DamageBoxes, MergeToFewBoxesHoldingEveryPiece) {
  std::minstd_rand random(5);
  for (int round = 0; round < 50; ++round) {
    std::vector<PixelRect> pieces(1 + random() % 80);
    for (PixelRect& r : pieces) r = {int(random() % 1900), int(random() % 1000), int(random() % 90), int(random() % 70)};
    const std::vector<PixelRect> boxes = render::mergeBoxes(pieces, 8);
    ASSERT_LE(boxes.size(), std::ranges::count_if(pieces, [](const PixelRect& r) { return !r.empty(); }) > 64 ? 1u : 8u);
    for (const PixelRect& r : pieces) {
      EXPECT_TRUE(r.empty() || std::ranges::any_of(boxes, [&](const PixelRect& b) { return intersect(b, r) == r; }));
    }
    for (std::size_t i = 0; i < boxes.size(); ++i) {
      for (std::size_t j = i + 1; j < boxes.size(); ++j) EXPECT_FALSE(intersects(boxes[i], boxes[j]));
    }
  }
  EXPECT_EQ(render::mergeBoxes({{0, 0, 10, 10}, {500, 500, 4, 4}, {10, 0, 10, 10}}, 2),
            (std::vector<PixelRect>{{0, 0, 20, 10}, {500, 500, 4, 4}}));
}

TEST(X11Cursor, BlendsPremultipliedPixelsAndClipsAtTheEdges) {
  std::vector<std::uint8_t> picture = solidBgrx(8, 8, 0x646464);
  CursorPicture cursor{.x = 100 + 6, .y = 200 - 1, .width = 4, .height = 4};  // half off the right edge
  cursor.argb.assign(16, 0xffffffff);   // opaque white
  cursor.argb[1 * 4 + 0] = 0x80808080;  // half-transparent white, premultiplied
  cursor.argb[2 * 4 + 0] = 0xff000000;  // opaque black
  cursor.argb[2 * 4 + 1] = 0x00000000;  // clear
  cursor.argb[3 * 4 + 0] = 0x80000000;  // half-transparent black
  compositeCursor(picture.data(), 8 * 4, 8, 8, 100, 200, cursor);
  auto at = [&](int x, int y) { return picture[(y * 8 + x) * 4 + 1]; };
  EXPECT_NEAR(at(6, 0), 0x80 + 0x64 / 2, 1) << "the premultiplied value over what the rest of alpha keeps";
  EXPECT_EQ(at(7, 0), 0xff);
  EXPECT_EQ(at(6, 1), 0x00) << "an opaque cursor pixel covers the picture";
  EXPECT_EQ(at(7, 1), 0x64) << "a clear cursor pixel leaves the picture alone";
  EXPECT_NEAR(at(6, 2), 0x64 / 2, 1) << "half-transparent black darkens to about half";
  EXPECT_EQ(at(5, 1), 0x64) << "left of the cursor";
  EXPECT_EQ(at(6, 3), 0x64) << "below the cursor";
}

TEST(X11Edid, ReadsTheMonitorNameDescriptor) {
  std::vector<std::uint8_t> edid(128, 0);
  std::memcpy(edid.data(), "\x00\xff\xff\xff\xff\xff\xff\x00", 8);
  // First descriptor: a serial number (0xFF), second: the name.
  edid[54 + 3] = 0xff;
  std::memcpy(&edid[54 + 5], "SN12345\n     ", 13);
  edid[72 + 3] = 0xfc;
  std::memcpy(&edid[72 + 5], "DELL U2720Q\n ", 13);
  EXPECT_EQ(edidMonitorName(edid.data(), edid.size()), std::optional<std::string>("DELL U2720Q"));
  EXPECT_EQ(edidMonitorName(edid.data(), 100), std::nullopt) << "too short";
  edid[72 + 3] = 0xfe;
  EXPECT_EQ(edidMonitorName(edid.data(), edid.size()), std::nullopt);
  edid[72 + 3] = 0xfc;
  edid[1] = 0;
  EXPECT_EQ(edidMonitorName(edid.data(), edid.size()), std::nullopt) << "not an EDID";
}

TEST(X11FailureSpell, StopsOnlyAfterFailingWithoutABreakForTheLimit) {
  FailureSpell spell(std::chrono::seconds(1));
  const auto at = [](int ms) { return FailureSpell::Clock::time_point{} + std::chrono::milliseconds(ms); };
  const Error reason{"X11Capture", 8, "the display X lies outside the screen"};
  EXPECT_FALSE(spell.fail(reason, at(0)) || spell.fail(reason, at(999)));
  spell.succeed();
  EXPECT_FALSE(spell.fail(reason, at(1100)) || spell.fail(reason, at(2099)));
  const std::optional<Error> stop = spell.fail(reason, at(2100));
  ASSERT_TRUE(stop);
  EXPECT_EQ(stop->code, 8);
  EXPECT_EQ(stop->message, "no picture could be read for 1000 ms: the display X lies outside the screen");
}

}  // namespace
}  // namespace pelorin::platform::x11
