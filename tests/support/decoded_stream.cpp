#include "support/decoded_stream.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "support/temp_file.h"
#include "support/yuv.h"

namespace pelorin::test {

std::vector<DecodedRecord> expectDecodes(const ProcessResult& run) {
  std::vector<DecodedRecord> records;
  CapturedFd file;
  auto decoder = platform::ffmpeg::H264Decoder::create();
  if (!decoder || ::write(file.fd(), run.out.data(), run.out.size()) != static_cast<ssize_t>(run.out.size())) {
    ADD_FAILURE() << (decoder ? std::string("cannot buffer the stream") : decoder.error().description());
    return records;
  }
  ::lseek(file.fd(), 0, SEEK_SET);
  media::FrameStreamReader reader(file.fd());
  std::size_t nextPicture = 0;
  auto credit = [&](std::vector<platform::ffmpeg::DecodedPicture>& pictures) {
    for (auto& picture : pictures) records.at(nextPicture++).picture = std::move(picture);
  };
  for (;;) {
    auto next = reader.next();
    if (!next) ADD_FAILURE() << "invalid record: " << next.error().description();
    if (!next || !*next) break;
    records.push_back(DecodedRecord{std::move(**next), std::nullopt});
    auto pictures = (*decoder)->decode(records.back().record.payload);
    if (!pictures) ADD_FAILURE() << "decode failed at record " << records.size() - 1;
    if (!pictures) break;
    credit(*pictures);
  }
  if (auto rest = (*decoder)->flush()) credit(*rest);
  EXPECT_FALSE(records.empty()) << run.err;
  return records;
}

void expectColour(const platform::ffmpeg::DecodedPicture& picture, int x, int y, unsigned long rgb,
                  const std::string& where) {
  const auto c = static_cast<std::size_t>(y / 2) * ((picture.width + 1) / 2) + x / 2;
  const Yuv want = bt601(rgb);
  const std::string at = where + " at " + std::to_string(x) + "," + std::to_string(y);
  EXPECT_NEAR(picture.luma[static_cast<std::size_t>(y) * picture.width + x], want.y, 8) << at;
  EXPECT_NEAR(picture.chromaU[c], want.u, 8) << at;
  EXPECT_NEAR(picture.chromaV[c], want.v, 8) << at;
}

}  // namespace pelorin::test
