#include "platform/image/image_encoding_backend.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cstdlib>

namespace pelorin::platform::image {
namespace {

std::vector<std::uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

TEST(Base64, UsesTheStandardAlphabetWithPaddingAndNoLineBreaks) {
  ImageEncodingBackend encoding;
  EXPECT_EQ(encoding.base64({}), "");
  EXPECT_EQ(encoding.base64(bytesOf("f")), "Zg==");
  EXPECT_EQ(encoding.base64(bytesOf("fo")), "Zm8=");
  EXPECT_EQ(encoding.base64(bytesOf("foobar")), "Zm9vYmFy");
  EXPECT_EQ(encoding.base64(std::vector<std::uint8_t>{0xFB, 0xFF, 0xBF}), "+/+/");
  const std::string long64 = encoding.base64(std::vector<std::uint8_t>(3000, 0xAB));
  EXPECT_EQ(long64.size(), 4000u);
  EXPECT_EQ(long64.find('\n'), std::string::npos);
}

// A BGRA picture: left half red, right half blue, rows padded past the pixels.
Image twoColours(int width, int height) {
  Image image;
  image.width = width;
  image.height = height;
  image.bytesPerRow = static_cast<std::size_t>(width) * 4 + 32;
  image.pixels.assign(image.bytesPerRow * static_cast<std::size_t>(height), 0);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = image.pixels.data() + static_cast<std::size_t>(y) * image.bytesPerRow + x * 4;
      const bool left = x < width / 2;
      p[0] = left ? 0 : 255;  // B
      p[1] = 0;               // G
      p[2] = left ? 255 : 0;  // R
      p[3] = 255;
    }
  }
  return image;
}

TEST(Jpeg, EncodesAFileOfTheImagesSizeAndColours) {
  ImageEncodingBackend encoding;
  const auto jpeg = encoding.jpeg(twoColours(320, 180), 0.7);
  ASSERT_TRUE(jpeg);
  ASSERT_GE(jpeg->size(), 4u);
  EXPECT_EQ((*jpeg)[0], 0xFF);
  EXPECT_EQ((*jpeg)[1], 0xD8);

  tjhandle decoder = tjInitDecompress();
  int width = 0, height = 0, subsampling = 0, colourspace = 0;
  ASSERT_EQ(tjDecompressHeader3(decoder, jpeg->data(), jpeg->size(), &width, &height, &subsampling, &colourspace), 0);
  EXPECT_EQ(width, 320);
  EXPECT_EQ(height, 180);
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * height * 3);
  ASSERT_EQ(tjDecompress2(decoder, jpeg->data(), jpeg->size(), rgb.data(), width, 0, height, TJPF_RGB, 0), 0);
  tjDestroy(decoder);
  auto at = [&](int x, int y) { return rgb.data() + (static_cast<std::size_t>(y) * width + x) * 3; };
  EXPECT_GT(at(40, 90)[0], 230);
  EXPECT_LT(at(40, 90)[2], 25);
  EXPECT_LT(at(280, 90)[0], 25);
  EXPECT_GT(at(280, 90)[2], 230);

  // Quality matters: the file shrinks with it.
  const auto rough = encoding.jpeg(twoColours(320, 180), 0.1);
  ASSERT_TRUE(rough);
  EXPECT_LT(rough->size(), jpeg->size());
}

TEST(Jpeg, RefusesImagesWhosePixelsDoNotCoverTheirSize) {
  ImageEncodingBackend encoding;
  Image empty;
  EXPECT_FALSE(encoding.jpeg(empty, 0.7));
  Image shortRows = twoColours(16, 16);
  shortRows.pixels.resize(shortRows.pixels.size() - 100);
  EXPECT_FALSE(encoding.jpeg(shortRows, 0.7));
  Image narrowStride = twoColours(16, 16);
  narrowStride.bytesPerRow = 16 * 4 - 1;
  EXPECT_FALSE(encoding.jpeg(narrowStride, 0.7));
}

}  // namespace
}  // namespace pelorin::platform::image
