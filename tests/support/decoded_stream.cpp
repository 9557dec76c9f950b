#include "support/decoded_stream.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "support/temp_file.h"
#include "support/yuv.h"

namespace pelorin::test {

std::vector<DecodedPicture> decodeAll(const std::vector<media::ByteBuffer>& units) {
  auto decoder = platform::ffmpeg::H264Decoder::create();
  std::vector<DecodedPicture> pictures;
  if (!decoder) ADD_FAILURE() << decoder.error().description();
  if (!decoder) return pictures;
  for (const auto& unit : units) {
    auto decoded = (*decoder)->decode(unit);
    EXPECT_TRUE(decoded) << "decode failed at unit " << &unit - units.data();
    if (decoded) pictures.insert(pictures.end(), decoded->begin(), decoded->end());
  }
  if (auto held = (*decoder)->flush()) pictures.insert(pictures.end(), held->begin(), held->end());
  return pictures;
}

std::vector<DecodedRecord> expectDecodes(const ProcessResult& run) {
  std::vector<DecodedRecord> records;
  CapturedFd file;
  EXPECT_EQ(::pwrite(file.fd(), run.out.data(), run.out.size(), 0), static_cast<ssize_t>(run.out.size()));
  media::FrameStreamReader reader(file.fd());
  std::vector<media::ByteBuffer> payloads;
  for (auto next = reader.next();; next = reader.next()) {
    if (!next) ADD_FAILURE() << "invalid record: " << next.error().description();
    if (!next || !*next) break;
    payloads.push_back((*next)->payload);
    records.push_back(DecodedRecord{std::move(**next), std::nullopt});
  }
  auto pictures = decodeAll(payloads);
  for (std::size_t i = 0; i < pictures.size() && i < records.size(); ++i) records[i].picture = std::move(pictures[i]);
  EXPECT_FALSE(records.empty()) << run.err;
  return records;
}

static Yuv yuvAt(const DecodedPicture& picture, int x, int y) {
  const auto c = static_cast<std::size_t>(y / 2) * ((picture.width + 1) / 2) + x / 2;
  return {picture.luma[static_cast<std::size_t>(y) * picture.width + x], picture.chromaU[c], picture.chromaV[c]};
}

bool shows(const DecodedPicture& picture, int x, int y, unsigned long rgb) {
  const Yuv got = yuvAt(picture, x, y), want = bt601(rgb);
  return std::abs(got.y - want.y) <= 8 && std::abs(got.u - want.u) <= 8 && std::abs(got.v - want.v) <= 8;
}

void expectColour(const DecodedPicture& picture, int x, int y, unsigned long rgb, const std::string& where) {
  const Yuv got = yuvAt(picture, x, y);
  EXPECT_TRUE(shows(picture, x, y, rgb)) << where << " at " << x << "," << y << ": YUV " << got.y << " " << got.u
                                         << " " << got.v << " for RGB " << std::hex << rgb;
}

}  // namespace pelorin::test
