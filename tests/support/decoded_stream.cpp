#include "support/decoded_stream.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "support/temp_file.h"
#include "support/yuv.h"

namespace pelorin::test {

DecodedStream decodeStream(const std::string& stream) {
  DecodedStream out;
  CapturedFd file;
  auto decoder = platform::ffmpeg::H264Decoder::create();
  if (!decoder || ::write(file.fd(), stream.data(), stream.size()) != static_cast<ssize_t>(stream.size())) {
    out.fault = decoder ? "cannot buffer the stream" : decoder.error().description();
    return out;
  }
  ::lseek(file.fd(), 0, SEEK_SET);
  media::FrameStreamReader reader(file.fd());
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
