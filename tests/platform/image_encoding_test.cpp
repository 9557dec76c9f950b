#include "platform/image/image_encoding_backend.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

namespace pelorin::platform::image {
namespace {

TEST(Base64, UsesTheStandardAlphabetWithPaddingAndNoLineBreaks) {
  ImageEncodingBackend encoding;
  const std::pair<std::string, std::string> cases[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foobar", "Zm9vYmFy"}, {"\xFB\xFF\xBF", "+/+/"}};
  for (const auto& [text, expected] : cases) EXPECT_EQ(encoding.base64(std::vector<std::uint8_t>(text.begin(), text.end())), expected);
  const std::string long64 = encoding.base64(std::vector<std::uint8_t>(3000, 0xAB));
  EXPECT_EQ(long64.size(), 4000u);
  EXPECT_EQ(long64.find('\n'), std::string::npos);
}

// A BGRA picture: left half red, right half blue, rows padded past the pixels.
Image twoColours(int width, int height) {
  Image image{.width = width, .height = height, .bytesPerRow = static_cast<std::size_t>(width) * 4 + 32};
  image.pixels.assign(image.bytesPerRow * static_cast<std::size_t>(height), 0);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = image.pixels.data() + static_cast<std::size_t>(y) * image.bytesPerRow + x * 4;
      const bool left = x < width / 2;
      p[0] = left ? 0 : 255;  // B
      p[2] = left ? 255 : 0;  // R
      p[3] = 255;
    }
  }
  return image;
}

TEST(Jpeg, EncodesAFileOfTheImagesSizeAndColoursAndRefusesPixelsShortOfTheSize) {
  ImageEncodingBackend encoding;
  const auto jpeg = encoding.jpeg(twoColours(320, 180), 0.7);
  ASSERT_TRUE(jpeg);
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
  const auto rough = encoding.jpeg(twoColours(320, 180), 0.1);
  ASSERT_TRUE(rough);
  EXPECT_LT(rough->size(), jpeg->size()) << "the file shrinks with the quality";

  Image shortRows = twoColours(16, 16), narrowStride = twoColours(16, 16);
  shortRows.pixels.resize(shortRows.pixels.size() - 100);
  narrowStride.bytesPerRow = 16 * 4 - 1;
  for (const Image& bad : {Image{}, shortRows, narrowStride}) EXPECT_FALSE(encoding.jpeg(bad, 0.7));
}

}  // namespace
}  // namespace pelorin::platform::image
