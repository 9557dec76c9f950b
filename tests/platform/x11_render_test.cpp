// Frame geometry and pixel work of the X11 backend, without a display.

#include <gtest/gtest.h>

#include <cstring>

#include "platform/x11/failure_spell.h"
#include "platform/x11/frame_render.h"
#include "platform/x11_test_helpers.h"

namespace pelorin::platform::x11 {
namespace {

using test::sized;
using test::yuvAt;

std::vector<std::uint8_t> solidBgrx(int width, int height, std::uint32_t rgb) {
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
  for (std::size_t i = 0; i < pixels.size(); i += 4) {
    pixels[i] = rgb & 0xff;
    pixels[i + 1] = (rgb >> 8) & 0xff;
    pixels[i + 2] = (rgb >> 16) & 0xff;
  }
  return pixels;
}

void expectNear(const test::Yuv& actual, unsigned long rgb, const std::string& where) {
  const test::Yuv expected = pelorin::test::bt601(rgb);
  EXPECT_NEAR(actual.y, expected.y, 3) << where;
  EXPECT_NEAR(actual.u, expected.u, 3) << where;
  EXPECT_NEAR(actual.v, expected.v, 3) << where;
}

StreamConfiguration with(StreamConfiguration c, const std::function<void(StreamConfiguration&)>& change) {
  change(c);
  return c;
}

TEST(X11FrameLayout, FitsCropsAndPlacesTheContent) {
  const struct {
    const char* what;
    int contentWidth, contentHeight;
    StreamConfiguration configuration;
    PixelRect source, placement;
    double contentScale;
  } cases[] = {
      {"taller content: bars at the sides", 1920, 1200, sized(1280, 720), {0, 0, 1920, 1200}, {64, 0, 1152, 720}, 0.6},
      // 1000 x 562.5 rounds to an even height, centred on an even row.
      {"wider content: bars above and below", 1920, 1080, sized(1000, 1000), {0, 0, 1920, 1080}, {0, 218, 1000, 562},
       1000.0 / 1920},
      // A fractional edge takes in the whole pixel it touches; 641 wide limits the scale to
      // 1280/641: 719 rows, rounded to an even 718.
      {"cropped and scaled up", 1920, 1200,
       with(sized(1280, 720), [](auto& c) { c.sourceRect = Rect{100.5, 50, 640, 360}; }), {100, 50, 641, 360},
       {0, 0, 1280, 718}, 1280.0 / 641},
      {"crop clipped to the display", 1920, 1200,
       with(sized(640, 480), [](auto& c) { c.sourceRect = Rect{1800, 1100, 400, 400}; }), {1800, 1100, 120, 100},
       {32, 0, 576, 480}, 4.8},
      {"into the destination", 1920, 1080,
       with(sized(1920, 1080), [](auto& c) { c.destinationRect = Rect{960, 540, 960, 540}; }), {0, 0, 1920, 1080},
       {960, 540, 960, 540}, 0.5},
      {"stretched", 1920, 1200, with(sized(1280, 720), [](auto& c) { c.preservesAspectRatio = false; }),
       {0, 0, 1920, 1200}, {0, 0, 1280, 720}, 1280.0 / 1920},
      {"pixel for pixel, cut off", 1920, 400, with(sized(800, 600), [](auto& c) { c.scalesToFit = false; }),
       {0, 0, 800, 400}, {0, 0, 800, 400}, 1.0},
      {"no frame size: the source's", 1920, 1080, sized(0, 0), {0, 0, 1920, 1080}, {0, 0, 1920, 1080}, 1.0},
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

  const StreamConfiguration refused[] = {
      with(sized(640, 480), [](auto& c) { c.sourceRect = Rect{3000, 0, 100, 100}; }),
      with(sized(640, 480), [](auto& c) { c.destinationRect = Rect{700, 0, 100, 100}; }),
  };
  for (const auto& c : refused) EXPECT_FALSE(computeLayout(1920, 1200, c).ok());
  EXPECT_FALSE(computeLayout(0, 1200, sized(640, 480)).ok());
}

// A reused buffer first filled with white edge to edge, then letterboxed red: bars black again.
TEST(X11FrameRender, ConvertsAndLetterboxesIntoVideoRangeNV12OverAReusedBuffer) {
  auto pool = NV12BufferPool::create(64, 64, 1);
  std::vector<std::uint8_t> scratch;
  {
    std::vector<std::uint8_t> white = solidBgrx(64, 64, 0xffffff);
    PixelBufferRef frame = pool->makeBuffer();
    ASSERT_TRUE(renderFrame({white.data(), 64 * 4, 64, 64}, *computeLayout(64, 64, sized(64, 64)), *frame, scratch));
    expectNear(yuvAt(*frame, 2, 2), 0xffffff, "white");
  }
  const std::vector<std::uint8_t> red = solidBgrx(128, 64, 0xff0000);
  Result<FrameLayout> layout = computeLayout(128, 64, sized(64, 64));
  ASSERT_TRUE(layout.ok());
  ASSERT_EQ(layout->placement, (PixelRect{0, 16, 64, 32}));
  PixelBufferRef frame = pool->makeBuffer();
  ASSERT_TRUE(frame);
  ASSERT_TRUE(renderFrame({red.data(), 128 * 4, 128, 64}, *layout, *frame, scratch));
  const struct {
    int x, y;
    unsigned long rgb;
  } points[] = {{10, 2, 0}, {63, 15, 0}, {0, 16, 0xff0000}, {33, 40, 0xff0000}, {63, 47, 0xff0000}, {20, 48, 0},
                {20, 63, 0}};
  for (const auto& p : points) expectNear(yuvAt(*frame, p.x, p.y), p.rgb, std::to_string(p.x) + "," + std::to_string(p.y));

  // Side bars too, where the chroma rows are shared by bar and content.
  const std::vector<std::uint8_t> blue = solidBgrx(32, 64, 0x0000ff);
  frame.reset();
  frame = pool->makeBuffer();
  ASSERT_TRUE(renderFrame({blue.data(), 32 * 4, 32, 64}, *computeLayout(32, 64, sized(64, 64)), *frame, scratch));
  expectNear(yuvAt(*frame, 2, 2), 0, "left bar");
  expectNear(yuvAt(*frame, 48, 32), 0, "first column of the right bar");
  expectNear(yuvAt(*frame, 61, 60), 0, "right bar");
  expectNear(yuvAt(*frame, 32, 32), 0x0000ff, "content");
}

TEST(X11FrameRender, ScalesDownWithAveraging) {
  // Alternating black and white columns average to mid grey when halved.
  std::vector<std::uint8_t> stripes(64 * 64 * 4, 0);
  for (int y = 0; y < 64; ++y) {
    for (int x = 0; x < 64; x += 2) std::memset(&stripes[(y * 64 + x) * 4], 0xff, 4);
  }
  auto pool = NV12BufferPool::create(32, 32, 1);
  PixelBufferRef frame = pool->makeBuffer();
  std::vector<std::uint8_t> scratch;
  ASSERT_TRUE(renderFrame({stripes.data(), 64 * 4, 64, 64}, *computeLayout(64, 64, sized(32, 32)), *frame, scratch));
  expectNear(yuvAt(*frame, 10, 10), 0x808080, "grey");
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

TEST(X11ChangeCheck, HashFollowsSampledRows) {
  const std::vector<std::uint8_t> a = solidBgrx(100, 40, 0x336699);
  const BgrxView viewA{a.data(), 400, 100, 40};
  std::vector<std::uint8_t> b = a;
  EXPECT_EQ(sparseHash(viewA), sparseHash({b.data(), 400, 100, 40}));
  // One bit of a sampled row; the last pixel of the last sampled row.
  for (const auto& [changed, bit] : {std::pair{(8 * 100 + 57) * 4 + 2, 0x01}, std::pair{(36 * 100 + 99) * 4, 0x80}}) {
    b = a;
    b[changed] ^= bit;
    EXPECT_NE(sparseHash(viewA), sparseHash({b.data(), 400, 100, 40})) << changed;
  }
}

TEST(X11Edid, ReadsTheMonitorNameDescriptor) {
  std::vector<std::uint8_t> edid(128, 0);
  const std::uint8_t header[8] = {0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00};
  std::memcpy(edid.data(), header, 8);
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
