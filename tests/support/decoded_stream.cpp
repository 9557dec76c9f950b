#include "support/decoded_stream.h"

#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace pelorin::test {

DecodedStream decodeStream(const std::string& stream) {
  DecodedStream out;
  const int fd = memfd_create("pelorin-stream", MFD_CLOEXEC);
  if (fd < 0 || ::write(fd, stream.data(), stream.size()) != static_cast<ssize_t>(stream.size())) {
    out.fault = "cannot buffer the stream";
    if (fd >= 0) ::close(fd);
    return out;
  }
  ::lseek(fd, 0, SEEK_SET);
  auto decoder = platform::ffmpeg::H264Decoder::create();
  if (!decoder) {
    out.fault = decoder.error().description();
    ::close(fd);
    return out;
  }
  media::FrameStreamReader reader(fd);
  std::size_t nextPicture = 0;
  auto credit = [&](std::vector<platform::ffmpeg::DecodedPicture>& pictures) {
    for (auto& picture : pictures) {
      if (nextPicture < out.records.size()) out.records[nextPicture++].picture = std::move(picture);
    }
  };
  for (;;) {
    auto next = reader.next();
    if (!next) {
      out.fault = next.error().description();
      break;
    }
    if (!*next) break;
    out.records.push_back(DecodedRecord{std::move(**next), std::nullopt});
    auto pictures = (*decoder)->decode(out.records.back().record.payload);
    if (!pictures) {
      out.fault = "decode failed at record " + std::to_string(out.records.size() - 1);
      break;
    }
    credit(*pictures);
  }
  if (auto rest = (*decoder)->flush()) credit(*rest);
  ::close(fd);
  return out;
}

Yuv yuvAt(const platform::ffmpeg::DecodedPicture& picture, int x, int y) {
  const int chromaWidth = (picture.width + 1) / 2;
  const auto c = static_cast<std::size_t>(y / 2) * chromaWidth + x / 2;
  return {picture.luma[static_cast<std::size_t>(y) * picture.width + x], picture.chromaU[c], picture.chromaV[c]};
}

void expectColour(const platform::ffmpeg::DecodedPicture& picture, int x, int y, unsigned long rgb,
                  const std::string& where) {
  const Yuv got = yuvAt(picture, x, y), want = bt601(rgb);
  EXPECT_NEAR(got.y, want.y, 8) << where;
  EXPECT_NEAR(got.u, want.u, 8) << where;
  EXPECT_NEAR(got.v, want.v, 8) << where;
}

}  // namespace pelorin::test
