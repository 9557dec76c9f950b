// The whole-frame conversion of 1080p BGRX into 720p NV12: its time against the two passes it
// replaced (the whole picture scaled into a scratch picture, then converted), and its sharpness:
// the PSNR of its luma against the same picture scaled in floating point (each output pixel the
// exact average of the source area it covers), which must stay within 0.1 dB of the two passes'.
#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>

#include <cmath>
#include <cstdio>
#include <cstdint>
#include <random>
#include <vector>

#include "platform/render/frame_render.h"
#include "support/measure.h"

namespace {

namespace render = pelorin::platform::render;

constexpr int sourceWidth = 1920, sourceHeight = 1080, width = 1280, height = 720;

// Text-like edges over gradients and fine gratings: detail a scaler can keep or blur.
std::vector<std::uint8_t> detailedPicture() {
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(sourceWidth) * sourceHeight * 4);
  std::minstd_rand random(3);
  for (int y = 0; y < sourceHeight; ++y) {
    for (int x = 0; x < sourceWidth; ++x) {
      std::uint8_t* p = &pixels[(static_cast<std::size_t>(y) * sourceWidth + x) * 4];
      const double grating = 127.5 + 127.5 * std::sin(x * x / 9000.0 + y / 7.0);
      p[0] = static_cast<std::uint8_t>(grating);
      p[1] = static_cast<std::uint8_t>(x * 255 / sourceWidth);
      p[2] = static_cast<std::uint8_t>((x / 3 + y / 5) % 2 ? 230 : 20);
    }
  }
  for (int i = 0; i < 4000; ++i) {  // glyph strokes
    const int x = static_cast<int>(random() % (sourceWidth - 12)), y = static_cast<int>(random() % (sourceHeight - 12));
    const bool across = random() % 2;
    for (int k = 0; k < 10; ++k) {
      std::uint8_t* p = &pixels[(static_cast<std::size_t>(across ? y : y + k) * sourceWidth + (across ? x + k : x)) * 4];
      p[0] = p[1] = p[2] = 0;
    }
  }
  return pixels;
}

// BT.601 video range, from components in [0, 1].
double luma(double r, double g, double b) { return 16 + 65.481 * r + 128.553 * g + 24.966 * b; }

// Luma of the picture scaled by exact area averages, in floating point.
std::vector<double> referenceLuma(const std::vector<std::uint8_t>& pixels) {
  std::vector<double> out(static_cast<std::size_t>(width) * height);
  const double sx = static_cast<double>(sourceWidth) / width, sy = static_cast<double>(sourceHeight) / height;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      double sum = 0, weight = 0;
      for (int j = static_cast<int>(y * sy); j < std::ceil((y + 1) * sy); ++j) {
        const double wy = std::min<double>(j + 1, (y + 1) * sy) - std::max<double>(j, y * sy);
        for (int i = static_cast<int>(x * sx); i < std::ceil((x + 1) * sx); ++i) {
          const double w = wy * (std::min<double>(i + 1, (x + 1) * sx) - std::max<double>(i, x * sx));
          const std::uint8_t* p = &pixels[(static_cast<std::size_t>(j) * sourceWidth + i) * 4];
          sum += w * luma(p[2] / 255.0, p[1] / 255.0, p[0] / 255.0);
          weight += w;
        }
      }
      out[static_cast<std::size_t>(y) * width + x] = sum / weight;
    }
  }
  return out;
}

double psnr(const std::vector<std::uint8_t>& y, const std::vector<double>& reference) {
  double squares = 0;
  for (std::size_t i = 0; i < y.size(); ++i) squares += (y[i] - reference[i]) * (y[i] - reference[i]);
  return 10 * std::log10(255.0 * 255.0 / (squares / static_cast<double>(y.size())));
}

}  // namespace

int main() {
  const std::vector<std::uint8_t> picture = detailedPicture();
  const render::BgrxView view{picture.data(), sourceWidth * 4u, sourceWidth, sourceHeight};
  const render::FrameLayout layout{width, height, {0, 0, sourceWidth, sourceHeight}, {0, 0, width, height}, 2.0 / 3};
  std::vector<std::uint8_t> y(static_cast<std::size_t>(width) * height), uv(y.size() / 2), scratch, scaled(y.size() * 4);
  const render::Nv12Planes planes{y.data(), width, uv.data(), width};
  const auto ours = [&] { render::drawArea(view, layout, layout.placement, planes, scratch); };
  const auto twoPasses = [&] {
    libyuv::ARGBScale(picture.data(), sourceWidth * 4, sourceWidth, sourceHeight, scaled.data(), width * 4, width,
                      height, libyuv::kFilterBox);
    libyuv::ARGBToNV12(scaled.data(), width * 4, y.data(), width, uv.data(), width, width, height);
  };
  const double oursNs = pelorin::bench::medianNanoseconds(ours, 20);
  const double twoPassesNs = pelorin::bench::medianNanoseconds(twoPasses, 20);
  const std::vector<double> reference = referenceLuma(picture);
  twoPasses();
  const double before = psnr(y, reference);
  ours();
  const double after = psnr(y, reference);
  const bool fast = pelorin::bench::reportRatio("render_whole_1080p_to_720p_vs_two_passes", oursNs / 1e6,
                                                twoPassesNs / 1e6, 1.0, "ms");
  const bool sharp = after >= before - 0.1;
  std::printf("render_sharpness_psnr ours=%.3fdB two_passes=%.3fdB goal>=two_passes-0.1dB %s\n", after, before,
              sharp ? "met" : "MISSED");
  return fast && sharp ? 0 : 1;
}
