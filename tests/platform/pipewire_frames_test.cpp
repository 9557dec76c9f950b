// PipeWire's buffers, which come only on change, turned into one sample per tick: fake buffers in
// memory, no PipeWire.

#include <gtest/gtest.h>

#include "platform/pipewire/frame_assembler.h"
#include "support/nv12_colour.h"

namespace pelorin::platform::pipewire {
namespace {

using pelorin::test::expectColour;
using render::PixelRect;

constexpr unsigned long red = 0xff0000, blue = 0x0000ff, green = 0x00ff00, white = 0xffffff;

// A 64x32 BGRX monitor picture (2 pixels a point) with a padded row stride, as PipeWire may send.
struct Picture {
  static constexpr int width = 64, height = 32, stride = width * 4 + 16;
  std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(stride * height, 0);

  Picture& fill(const PixelRect& r, unsigned long rgb, unsigned seed = 0) {
    for (int y = r.y; y < r.y + r.height; ++y) {
      for (int x = r.x; x < r.x + r.width; ++x) {
        if (seed) rgb = (seed = seed * 1664525u + 1013904223u) >> 8;
        std::uint8_t* p = &bytes[y * stride + x * 4];
        p[0] = rgb & 0xff, p[1] = (rgb >> 8) & 0xff, p[2] = rgb >> 16, p[3] = 0xff;
      }
    }
    return *this;
  }
  ReceivedBuffer buffer(double arrival, std::vector<PixelRect> damage = {}) const {
    return {{bytes.data(), stride, width, height}, std::move(damage), arrival};
  }
};

const PixelRect all{0, 0, Picture::width, Picture::height};
const PixelRect leftHalf{0, 0, 32, 32}, rightHalf{32, 0, 32, 32};

auto statusOf(const std::optional<SampleBuffer>& s) { return s && s->attachments ? s->attachments->status : std::nullopt; }

TEST(PipeWireFrames, OneSamplePerTickFromTheNewestPicture) {
  FrameAssembler frames({.width = 32, .height = 16, .queueDepth = 2}, Rect{100, 0, 32, 16});

  // Nothing came yet: nothing to show, and no error.
  std::optional<SampleBuffer> s = frames.tick(1.0);
  ASSERT_EQ(statusOf(s), FrameStatus::Idle);
  EXPECT_FALSE(s->imageBuffer);

  Picture picture;
  ASSERT_TRUE(frames.receive(picture.fill(all, red).buffer(1.01)));
  s = frames.tick(1.03);
  ASSERT_EQ(statusOf(s), FrameStatus::Complete);
  EXPECT_DOUBLE_EQ(s->presentationSeconds, 1.01);  // when the picture came, not the tick
  EXPECT_EQ(s->attachments->scaleFactor, 2.0);
  EXPECT_EQ(s->attachments->contentScale, 0.5);
  expectColour(*s->imageBuffer, 5, 5, red, "first picture");

  EXPECT_EQ(statusOf(frames.tick(1.06)), FrameStatus::Idle);

  // Asked for on a still screen: the same picture again, fresh, at the tick's time.
  frames.requestFrame();
  s = frames.tick(1.1);
  ASSERT_EQ(statusOf(s), FrameStatus::Complete);
  EXPECT_DOUBLE_EQ(s->presentationSeconds, 1.1);
  expectColour(*s->imageBuffer, 20, 10, red, "repeated");

  // Only what the damage names is drawn again: the rest is the frame before.
  picture.fill(all, green).fill(leftHalf, blue);
  ASSERT_TRUE(frames.receive(picture.buffer(1.12, {leftHalf})));
  s.reset();
  std::optional<SampleBuffer> patched = frames.tick(1.13);
  ASSERT_EQ(statusOf(patched), FrameStatus::Complete);
  expectColour(*patched->imageBuffer, 4, 8, blue, "damaged half");
  expectColour(*patched->imageBuffer, 26, 8, red, "rest of the picture");

  // Every buffer still with the outputs: no sample, and the frame stays owed until one is free.
  ASSERT_TRUE(frames.receive(picture.fill(all, white).buffer(1.14)));
  std::optional<SampleBuffer> held = frames.tick(1.16);
  ASSERT_EQ(statusOf(held), FrameStatus::Complete);
  ASSERT_TRUE(frames.receive(picture.fill(all, red).buffer(1.17)));
  EXPECT_FALSE(frames.tick(1.2));
  patched.reset();
  s = frames.tick(1.23);
  ASSERT_EQ(statusOf(s), FrameStatus::Complete);
  EXPECT_DOUBLE_EQ(s->presentationSeconds, 1.17);
  expectColour(*s->imageBuffer, 5, 5, red, "owed frame");

  // PipeWire took the picture's buffer back: a frame asked for waits for the next picture.
  s.reset();
  frames.forgetPicture();
  frames.requestFrame();
  EXPECT_EQ(statusOf(frames.tick(1.26)), FrameStatus::Idle);
  ASSERT_TRUE(frames.receive(picture.fill(all, blue).buffer(1.27, {{0, 0, 2, 2}})));
  s = frames.tick(1.3);
  ASSERT_EQ(statusOf(s), FrameStatus::Complete);
  expectColour(*s->imageBuffer, 30, 14, blue, "next picture");
}

TEST(PipeWireFrames, ACropInPointsIgnoresChangesOutsideItAndFollowsNewSizes) {
  const StreamConfiguration whole{.width = 16, .height = 16, .queueDepth = 4};
  FrameAssembler frames(whole, Rect{0, 0, 32, 16});
  Picture picture;
  ASSERT_TRUE(frames.receive(picture.fill(leftHalf, blue).fill(rightHalf, red).buffer(2.0)));
  ASSERT_TRUE(frames.tick(2.01)->imageBuffer);

  // The right half of the monitor in points is its right 32x32 pixels.
  StreamConfiguration cropped = whole;
  cropped.sourceRect = Rect{16, 0, 16, 16};
  ASSERT_TRUE(frames.configure(cropped));
  std::optional<SampleBuffer> s = frames.tick(2.02);
  ASSERT_EQ(statusOf(s), FrameStatus::Complete);
  for (auto [x, y] : {std::pair{1, 1}, {14, 14}}) expectColour(*s->imageBuffer, x, y, red, "crop");

  ASSERT_TRUE(frames.receive(picture.fill(leftHalf, white).buffer(2.03, {leftHalf})));
  EXPECT_EQ(statusOf(frames.tick(2.04)), FrameStatus::Idle) << "a change outside the crop";

  StreamConfiguration off = cropped;
  off.sourceRect = Rect{40, 0, 8, 8};
  EXPECT_FALSE(frames.configure(off));
  // The crop in use stays.
  frames.requestFrame();
  s = frames.tick(2.07);
  expectColour(*s->imageBuffer, 1, 1, red, "kept crop");

  // A picture of a new size (the monitor's scale changed) is laid out again, the crop still in points.
  ReceivedBuffer unscaled = picture.fill({0, 0, 16, 16}, blue).fill({16, 0, 16, 16}, green).buffer(2.08);
  unscaled.picture.width = 32, unscaled.picture.height = 16;
  ASSERT_TRUE(frames.receive(unscaled));
  s = frames.tick(2.09);
  ASSERT_EQ(statusOf(s), FrameStatus::Complete);
  EXPECT_EQ(s->attachments->scaleFactor, 1.0);
  expectColour(*s->imageBuffer, 1, 1, green, "new size");

  // Before the first picture a crop cannot be checked; one the picture misses then ends the stream.
  FrameAssembler unchecked(whole, Rect{});
  ASSERT_TRUE(unchecked.configure({.width = 16, .height = 16, .sourceRect = Rect{100, 0, 8, 8}}));
  EXPECT_FALSE(unchecked.receive(picture.buffer(2.2)));
}

// After changes drawn only where their damage reaches, each frame is the picture converted whole,
// within one step a sample: scaled down between bars, then a crop scaled up into frames of another size.
TEST(PipeWireFrames, FramesDrawnFromDamageEqualThePictureConvertedWhole) {
  const std::vector<std::vector<PixelRect>> ticks[] = {  // each tick's buffers, a buffer's damage what it changes
      {{{11, 13, 5, 3}}}, {{{1, 1, 3, 3}, {30, 21, 6, 3}}, {{50, 20, 7, 9}}},
      {{{0, 29, 64, 3}, {63, 0, 1, 32}, {32, 6, 1, 18}}}, {{{9, 4, 4, 20}}}};  // at the edges, across the crop's
  FrameAssembler frames({}, Rect{0, 0, Picture::width, Picture::height});
  Picture picture;
  ASSERT_TRUE(frames.receive(picture.fill(all, 0, 7).buffer(3.0)));
  const StreamConfiguration cropped{.width = 50, .height = 36, .sourceRect = Rect{11, 6, 22, 18}};
  for (const StreamConfiguration& c : {StreamConfiguration{.width = 40, .height = 30}, cropped}) {
    ASSERT_TRUE(frames.configure(c) && frames.tick(3.0));
    const render::FrameLayout layout = *render::computeLayout(Picture::width, Picture::height, c);
    const render::BgrxView source{&picture.bytes[layout.source.y * Picture::stride + layout.source.x * 4],
                                  Picture::stride, layout.source.width, layout.source.height};
    PixelBufferRef whole = NV12BufferPool::create(c.width, c.height, 1)->makeBuffer();
    std::vector<std::uint8_t> scratch;
    for (const auto& buffers : ticks) {
      for (const std::vector<PixelRect>& damage : buffers) {
        for (const PixelRect& r : damage) picture.fill(r, 0, static_cast<unsigned>(r.x * 64 + r.y + 1));
        ASSERT_TRUE(frames.receive(picture.buffer(3.1, damage)));
      }
      const std::optional<SampleBuffer> sample = frames.tick(3.2);
      ASSERT_TRUE(sample && sample->imageBuffer && render::renderFrame(source, layout, *whole, scratch));
      EXPECT_LE(pelorin::test::largestDifference(*sample->imageBuffer, *whole).first, 1) << "tick " << &buffers - ticks;
    }
  }
}

}  // namespace
}  // namespace pelorin::platform::pipewire
