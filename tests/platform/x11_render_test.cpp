// Frame geometry and pixel work of the X11 backend, without a display.

#include <gtest/gtest.h>

#include <cstring>

#include "platform/x11/failure_spell.h"
#include "platform/x11/frame_render.h"
#include "platform/x11_test_helpers.h"

namespace pelorin::platform::x11 {
namespace {

StreamConfiguration sized(int width, int height) {
  StreamConfiguration c;
  c.width = width;
  c.height = height;
  return c;
}

std::vector<std::uint8_t> solidBgrx(int width, int height, std::uint32_t rgb) {
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
  for (std::size_t i = 0; i < pixels.size(); i += 4) {
    pixels[i] = rgb & 0xff;
    pixels[i + 1] = (rgb >> 8) & 0xff;
    pixels[i + 2] = (rgb >> 16) & 0xff;
    pixels[i + 3] = 0;
  }
  return pixels;
}

void expectNear(const test::Yuv& actual, const test::Yuv& expected, const std::string& where) {
  EXPECT_NEAR(actual.y, expected.y, 3) << where;
  EXPECT_NEAR(actual.u, expected.u, 3) << where;
  EXPECT_NEAR(actual.v, expected.v, 3) << where;
}

TEST(X11FrameLayout, FitsTallerContentWithBarsAtTheSides) {
  Result<FrameLayout> layout = computeLayout(1920, 1200, sized(1280, 720));
  ASSERT_TRUE(layout.ok()) << layout.error().message;
  EXPECT_EQ(layout->source, (PixelRect{0, 0, 1920, 1200}));
  EXPECT_EQ(layout->placement, (PixelRect{64, 0, 1152, 720}));
  EXPECT_DOUBLE_EQ(layout->contentScale, 0.6);
}

TEST(X11FrameLayout, FitsWiderContentWithBarsAboveAndBelow) {
  Result<FrameLayout> layout = computeLayout(1920, 1080, sized(1000, 1000));
  ASSERT_TRUE(layout.ok());
  // 1000 x 562.5 rounds to an even height, centred.
  EXPECT_EQ(layout->placement.width, 1000);
  EXPECT_EQ(layout->placement.height, 562);
  EXPECT_EQ(layout->placement.y % 2, 0);
  EXPECT_NEAR(layout->placement.y, (1000 - 562) / 2, 1);
}

TEST(X11FrameLayout, CropsToTheSourceRectangleAndScalesItUp) {
  StreamConfiguration c = sized(1280, 720);
  c.sourceRect = Rect{100.5, 50, 640, 360};
  Result<FrameLayout> layout = computeLayout(1920, 1200, c);
  ASSERT_TRUE(layout.ok());
  // A fractional edge takes in the whole pixel it touches.
  EXPECT_EQ(layout->source, (PixelRect{100, 50, 641, 360}));
  // 641 wide limits the scale to 1280/641: 719 rows, rounded to an even 718.
  EXPECT_EQ(layout->placement, (PixelRect{0, 0, 1280, 718}));
  EXPECT_NEAR(layout->contentScale, 2.0, 0.01);
}

TEST(X11FrameLayout, ClipsTheSourceRectangleToTheDisplay) {
  StreamConfiguration c = sized(640, 480);
  c.sourceRect = Rect{1800, 1100, 400, 400};
  Result<FrameLayout> layout = computeLayout(1920, 1200, c);
  ASSERT_TRUE(layout.ok());
  EXPECT_EQ(layout->source, (PixelRect{1800, 1100, 120, 100}));
}

TEST(X11FrameLayout, PlacesIntoTheDestinationRectangle) {
  StreamConfiguration c = sized(1920, 1080);
  c.destinationRect = Rect{960, 540, 960, 540};
  Result<FrameLayout> layout = computeLayout(1920, 1080, c);
  ASSERT_TRUE(layout.ok());
  EXPECT_EQ(layout->placement, (PixelRect{960, 540, 960, 540}));
  EXPECT_DOUBLE_EQ(layout->contentScale, 0.5);
}

TEST(X11FrameLayout, StretchesWhenTheAspectRatioNeedNotBeKept) {
  StreamConfiguration c = sized(1280, 720);
  c.preservesAspectRatio = false;
  Result<FrameLayout> layout = computeLayout(1920, 1200, c);
  ASSERT_TRUE(layout.ok());
  EXPECT_EQ(layout->placement, (PixelRect{0, 0, 1280, 720}));
}

TEST(X11FrameLayout, WithoutScalingDrawsPixelForPixelAndCutsOff) {
  StreamConfiguration c = sized(800, 600);
  c.scalesToFit = false;
  Result<FrameLayout> layout = computeLayout(1920, 400, c);
  ASSERT_TRUE(layout.ok());
  EXPECT_EQ(layout->placement, (PixelRect{0, 0, 800, 400}));
  EXPECT_EQ(layout->source, (PixelRect{0, 0, 800, 400}));
  EXPECT_DOUBLE_EQ(layout->contentScale, 1.0);
}

TEST(X11FrameLayout, RefusesRectanglesOutsideTheContentOrFrame) {
  StreamConfiguration c = sized(640, 480);
  c.sourceRect = Rect{3000, 0, 100, 100};
  EXPECT_FALSE(computeLayout(1920, 1200, c).ok());
  c.sourceRect.reset();
  c.destinationRect = Rect{700, 0, 100, 100};
  EXPECT_FALSE(computeLayout(1920, 1200, c).ok());
  EXPECT_FALSE(computeLayout(0, 1200, sized(640, 480)).ok());
}

TEST(X11FrameLayout, UsesTheSourceSizeWhenNoFrameSizeIsGiven) {
  Result<FrameLayout> layout = computeLayout(1920, 1080, sized(0, 0));
  ASSERT_TRUE(layout.ok());
  EXPECT_EQ(layout->frameWidth, 1920);
  EXPECT_EQ(layout->frameHeight, 1080);
  EXPECT_EQ(layout->placement, (PixelRect{0, 0, 1920, 1080}));
}

TEST(X11FrameRender, ConvertsAndLetterboxesIntoVideoRangeNV12) {
  const std::uint32_t red = 0xff0000;
  std::vector<std::uint8_t> pixels = solidBgrx(128, 64, red);
  Result<FrameLayout> layout = computeLayout(128, 64, sized(64, 64));
  ASSERT_TRUE(layout.ok());
  ASSERT_EQ(layout->placement, (PixelRect{0, 16, 64, 32}));
  auto pool = NV12BufferPool::create(64, 64, 1);
  PixelBufferRef frame = pool->makeBuffer();
  std::vector<std::uint8_t> scratch;
  ASSERT_TRUE(renderFrame({pixels.data(), 128 * 4, 128, 64}, *layout, *frame, scratch));
  const test::Yuv black{16, 128, 128};
  expectNear(test::yuvAt(*frame, 10, 2), black, "top bar");
  expectNear(test::yuvAt(*frame, 63, 15), black, "last bar row above");
  expectNear(test::yuvAt(*frame, 0, 16), pelorin::test::bt601(red), "first content row");
  expectNear(test::yuvAt(*frame, 33, 40), pelorin::test::bt601(red), "content");
  expectNear(test::yuvAt(*frame, 63, 47), pelorin::test::bt601(red), "last content row");
  expectNear(test::yuvAt(*frame, 20, 48), black, "bottom bar");
  expectNear(test::yuvAt(*frame, 20, 63), black, "last row");
}

TEST(X11FrameRender, PaintsBarsOverWhatAReusedBufferHeld) {
  auto pool = NV12BufferPool::create(64, 64, 1);
  std::vector<std::uint8_t> scratch;
  {
    // Fills the only buffer of the pool with white, edge to edge.
    std::vector<std::uint8_t> white = solidBgrx(64, 64, 0xffffff);
    PixelBufferRef frame = pool->makeBuffer();
    ASSERT_TRUE(renderFrame({white.data(), 64 * 4, 64, 64}, *computeLayout(64, 64, sized(64, 64)), *frame, scratch));
    ASSERT_GT(test::yuvAt(*frame, 2, 2).y, 230);
  }
  std::vector<std::uint8_t> blue = solidBgrx(32, 64, 0x0000ff);
  Result<FrameLayout> layout = computeLayout(32, 64, sized(64, 64));
  ASSERT_TRUE(layout.ok());
  PixelBufferRef frame = pool->makeBuffer();
  ASSERT_TRUE(frame);
  ASSERT_TRUE(renderFrame({blue.data(), 32 * 4, 32, 64}, *layout, *frame, scratch));
  expectNear(test::yuvAt(*frame, 2, 2), {16, 128, 128}, "left bar");
  expectNear(test::yuvAt(*frame, 61, 60), {16, 128, 128}, "right bar");
  expectNear(test::yuvAt(*frame, 32, 32), pelorin::test::bt601(0x0000ff), "content");
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
  expectNear(test::yuvAt(*frame, 10, 10), pelorin::test::bt601(0x808080), "grey");
}

TEST(X11Cursor, BlendsPremultipliedPixelsAndClipsAtTheEdges) {
  std::vector<std::uint8_t> picture = solidBgrx(8, 8, 0x000000);
  CursorPicture cursor;
  cursor.x = 100 + 6;  // half of it hangs off the picture's right edge
  cursor.y = 200 - 1;
  cursor.width = 4;
  cursor.height = 4;
  cursor.argb.assign(16, 0xffffffff);  // opaque white
  cursor.argb[1 * 4 + 0] = 0x80808080;  // half-transparent white, premultiplied
  cursor.argb[2 * 4 + 1] = 0x00000000;  // clear
  compositeCursor(picture.data(), 8 * 4, 8, 8, 100, 200, cursor);
  auto at = [&](int x, int y) { return picture[(y * 8 + x) * 4 + 1]; };
  EXPECT_EQ(at(6, 0), 0x80) << "half alpha over black keeps the premultiplied value";
  EXPECT_EQ(at(7, 0), 0xff);
  EXPECT_EQ(at(6, 1), 0xff);
  EXPECT_EQ(at(7, 1), 0x00) << "a clear cursor pixel leaves the picture alone";
  EXPECT_EQ(at(5, 1), 0x00) << "left of the cursor";
  EXPECT_EQ(at(6, 3), 0x00) << "below the cursor";

  std::vector<std::uint8_t> grey = solidBgrx(2, 2, 0x646464);
  CursorPicture half;
  half.x = 0;
  half.y = 0;
  half.width = 1;
  half.height = 1;
  half.argb = {0x80000000};  // half-transparent black darkens to about half
  compositeCursor(grey.data(), 2 * 4, 2, 2, 0, 0, half);
  EXPECT_NEAR(grey[0], 0x64 / 2, 1);
  EXPECT_EQ(grey[4], 0x64);
}

TEST(X11ChangeCheck, HashFollowsSampledRows) {
  std::vector<std::uint8_t> a = solidBgrx(100, 40, 0x336699);
  std::vector<std::uint8_t> b = a;
  const BgrxView viewA{a.data(), 400, 100, 40};
  const BgrxView viewB{b.data(), 400, 100, 40};
  EXPECT_EQ(sparseHash(viewA), sparseHash(viewB));
  b[(8 * 100 + 57) * 4 + 2] ^= 0x01;  // one pixel of a sampled row
  EXPECT_NE(sparseHash(viewA), sparseHash(viewB));
  b = a;
  b[(36 * 100 + 99) * 4] ^= 0x80;  // the last pixel of the last sampled row
  EXPECT_NE(sparseHash(viewA), sparseHash(viewB));
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
  edid[72 + 3] = 0xfe;
  EXPECT_EQ(edidMonitorName(edid.data(), edid.size()), std::nullopt);
  edid[72 + 3] = 0xfc;
  edid[1] = 0;
  EXPECT_EQ(edidMonitorName(edid.data(), edid.size()), std::nullopt) << "not an EDID";
  EXPECT_EQ(edidMonitorName(edid.data(), 100), std::nullopt) << "too short";
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
