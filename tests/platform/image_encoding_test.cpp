// Thumbnails are decoded and their colours checked end to end by the source-listing test; here
// only what that test cannot reach.
#include "platform/image/image_encoding_backend.h"

#include <gtest/gtest.h>

namespace pelorin::platform::image {
namespace {

TEST(Base64, UsesTheStandardAlphabetWithPaddingAndNoLineBreaks) {
  ImageEncodingBackend encoding;
  const std::pair<std::string, std::string> cases[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foobar", "Zm9vYmFy"}, {"\xFB\xFF\xBF", "+/+/"}};
  for (const auto& [text, expected] : cases) EXPECT_EQ(encoding.base64(std::vector<std::uint8_t>(text.begin(), text.end())), expected);
  const std::string long64 = encoding.base64(std::vector<std::uint8_t>(3000, 0xAB));
  EXPECT_TRUE(long64.size() == 4000u && long64.find('\n') == std::string::npos);
}

TEST(Jpeg, RefusesPixelsShortOfTheSize) {
  ImageEncodingBackend encoding;
  Image image{.width = 16, .height = 16, .bytesPerRow = 16 * 4 + 32};  // rows padded past the pixels
  image.pixels.resize(image.bytesPerRow * 16);
  EXPECT_TRUE(encoding.jpeg(image, 0.7));
  Image shortRows = image, narrowStride = image;
  shortRows.pixels.resize(shortRows.pixels.size() - 100);
  narrowStride.bytesPerRow = 16 * 4 - 1;
  for (const Image& bad : {Image{}, shortRows, narrowStride}) EXPECT_FALSE(encoding.jpeg(bad, 0.7));
}

}  // namespace
}  // namespace pelorin::platform::image
