// Wall time of `pelorin-encoder --list-sources` with 20 managed windows on the display, and the
// share of it that JPEG encoding of the thumbnails takes (timed in-process on images of the
// same number and sizes).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/image/image_encoding_backend.h"
#include "sources/thumbnail.h"
#include "support/child_cpu.h"
#include "support/measure.h"
#include "support/x11_windows.h"

namespace {

using pelorin::bench::median;
using pelorin::sources::thumbnailHeight;

using namespace std::chrono_literals;

constexpr int windowCount = 20;
constexpr int runs = 5;
constexpr double goalWallMs = 500;

// A gradient with some detail: costlier to encode than the flat windows, so the share is an upper bound.
pelorin::platform::Image testImage(int width, int height) {
  pelorin::platform::Image image;
  image.width = width;
  image.height = height;
  image.bytesPerRow = static_cast<std::size_t>(width) * 4;
  image.pixels.resize(image.bytesPerRow * height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = image.pixels.data() + y * image.bytesPerRow + x * 4;
      p[0] = static_cast<std::uint8_t>(x);
      p[1] = static_cast<std::uint8_t>(y * 2);
      p[2] = static_cast<std::uint8_t>((x ^ y) & 0xf0);
      p[3] = 0xff;
    }
  }
  return image;
}

}  // namespace

int main(int, char** argv) {
  pelorin::test::TestDisplay managedWindows;
  if (!managedWindows.ok()) {
    std::fprintf(stderr, "list_sources: no X display\n");
    return 1;
  }
  std::vector<Window> windows;
  for (int i = 0; i < windowCount; ++i) {
    pelorin::test::NewWindow wanted;
    wanted.width = 200 + 67 * i;
    wanted.height = 150 + 41 * i;
    wanted.rgb = 0x202020 + 0x0b0703ul * i;
    wanted.title = "Bench window " + std::to_string(i);
    windows.push_back(managedWindows.create(wanted, false));
  }
  for (Window window : windows) managedWindows.waitManaged(window);

  const std::string encoder = pelorin::bench::builtProgram(argv[0], "pelorin-encoder");
  // A warm-up run whose output says what is listed: the displays' sizes and the windows.
  std::string out;
  if (FILE* pipe = popen(("'" + encoder + "' --list-sources").c_str(), "r")) {
    char buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    if (pclose(pipe) != 0) out.clear();
  }
  const nlohmann::json listing = nlohmann::json::parse(out, nullptr, false);
  if (listing.is_discarded() || !listing["displays"].is_array() || !listing["windows"].is_array()) {
    std::fprintf(stderr, "list_sources: no listing from pelorin-encoder\n");
    return 1;
  }

  // The thumbnails the listing makes: one per display, one per listed window of ours.
  std::vector<std::pair<int, int>> sizes;
  for (const auto& d : listing["displays"]) sizes.emplace_back(320, thumbnailHeight(d["width"], d["height"]));
  int listedWindows = 0;
  for (const auto& w : listing["windows"]) {
    const auto ours = std::find(windows.begin(), windows.end(), w["id"].get<unsigned long>());
    if (ours == windows.end()) continue;
    ++listedWindows;
    const pelorin::test::FrameSize frame = managedWindows.frameSize(*ours);
    sizes.emplace_back(320, thumbnailHeight(frame.width, frame.height));
  }

  if (listedWindows != windowCount) {
    std::fprintf(stderr, "list_sources: %d of the %d windows listed\n", listedWindows, windowCount);
    return 1;
  }

  std::vector<double> wall;
  for (int run = 0; run < runs; ++run) {
    const pelorin::bench::ChildCost cost = pelorin::bench::runMeasured({encoder, "--list-sources"}, {}, true);
    if (cost.exitStatus != 0) {
      std::fprintf(stderr, "list_sources: pelorin-encoder exited with %d\n", cost.exitStatus);
      return 1;
    }
    wall.push_back(cost.wallSeconds * 1000);
  }
  for (Window window : windows) managedWindows.destroy(window);

  std::vector<pelorin::platform::Image> images;
  for (const auto& [width, height] : sizes) images.push_back(testImage(width, height));
  pelorin::platform::image::ImageEncodingBackend encoding;
  std::size_t bytes = 0;
  const double jpegNs = pelorin::bench::medianNanoseconds(
      [&] {
        for (const auto& image : images) bytes += encoding.jpeg(image, 0.7).value_or(std::vector<std::uint8_t>{}).size();
      },
      1, runs);
  if (bytes == 0) {
    std::fprintf(stderr, "list_sources: JPEG encoding failed\n");
    return 1;
  }
  const double wallMs = median(wall);
  const double jpegMs = jpegNs / 1e6;
  const bool met = wallMs < goalWallMs;
  std::printf("list_sources displays=%zu windows=%d wall_ms=%.1f jpeg_ms=%.2f jpeg_share=%.3f goal_wall_ms<%.0f %s\n",
              listing["displays"].size(), listedWindows, wallMs, jpegMs, jpegMs / wallMs, goalWallMs,
              met ? "met" : "MISSED");
  return met ? 0 : 1;
}
