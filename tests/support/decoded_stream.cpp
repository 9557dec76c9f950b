#include "support/decoded_stream.h"

#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/yuv.h"

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

DecodedStream expectDecodes(const ProcessResult& run) {
  DecodedStream stream = decodeStream(run.out);
  EXPECT_FALSE(stream.fault) << *stream.fault;
  EXPECT_FALSE(stream.records.empty()) << run.err;
  return stream;
}

const DecodedRecord* keyFrameAfter(const DecodedStream& stream, std::uint64_t unixNanoseconds) {
  for (const auto& r : stream.records) {
    if (r.record.keyFrame && r.record.captureNanoseconds > unixNanoseconds) return &r;
  }
  return nullptr;
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
