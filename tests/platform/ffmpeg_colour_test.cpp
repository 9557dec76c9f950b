// The colour fix on a stream whose encoder wrote no colour description (as a VA-API driver that
// ignores FFmpeg's packed headers does): after the fix a decoder finds video-range SMPTE 170M.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/ffmpeg/colour_fix.h"
#include "platform/ffmpeg/h264_decoder.h"
#include "platform/ffmpeg_test_support.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

namespace pelorin::platform::ffmpeg {
namespace {

using testing::decodeAll;

using Packets = std::vector<std::vector<std::uint8_t>>;

struct Encoder {
  AVCodecContext* context = nullptr;
  ~Encoder() { avcodec_free_context(&context); }
};

// Three flat grey frames from libx264 with every colour field left unspecified.
void encodeWithoutColour(Encoder& encoder, std::vector<AVPacket*>& packets) {
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  ASSERT_TRUE(codec);
  encoder.context = avcodec_alloc_context3(codec);
  AVCodecContext* c = encoder.context;
  c->width = 320;
  c->height = 240;
  c->time_base = AVRational{1, 30};
  c->pix_fmt = AV_PIX_FMT_NV12;
  av_opt_set(c->priv_data, "preset", "ultrafast", 0);
  ASSERT_EQ(avcodec_open2(c, codec, nullptr), 0);
  AVFrame* frame = av_frame_alloc();
  frame->format = AV_PIX_FMT_NV12;
  frame->width = c->width;
  frame->height = c->height;
  ASSERT_EQ(av_frame_get_buffer(frame, 0), 0);
  for (int i = 0; i <= 3; ++i) {
    if (i < 3) {
      ASSERT_EQ(av_frame_make_writable(frame), 0);
      std::fill_n(frame->data[0], frame->linesize[0] * c->height, std::uint8_t(90));
      std::fill_n(frame->data[1], frame->linesize[1] * c->height / 2, std::uint8_t(128));
      frame->pts = i;
    }
    ASSERT_EQ(avcodec_send_frame(c, i < 3 ? frame : nullptr), 0);
    for (AVPacket* p = av_packet_alloc(); avcodec_receive_packet(c, p) == 0; p = av_packet_alloc()) {
      packets.push_back(p);
    }
  }
  av_frame_free(&frame);
}

TEST(ColourFix, StreamWithoutColourDescriptionDecodesAsVideoRangeSmpte170m) {
  Encoder encoder;
  std::vector<AVPacket*> raw;
  encodeWithoutColour(encoder, raw);
  ASSERT_EQ(raw.size(), 3u);

  Packets unfixed, fixed;
  for (AVPacket* p : raw) unfixed.emplace_back(p->data, p->data + p->size);
  auto fix = ColourFix::create(encoder.context);
  ASSERT_TRUE(fix) << fix.error().message;
  for (std::size_t i = 0; i <= raw.size(); ++i) {
    ASSERT_EQ((*fix)->send(i < raw.size() ? raw[i] : nullptr), 0);
    AVPacket* out = av_packet_alloc();
    while ((*fix)->receive(out) == 0) {
      fixed.emplace_back(out->data, out->data + out->size);
      av_packet_unref(out);
    }
    av_packet_free(&out);
  }
  for (AVPacket*& p : raw) av_packet_free(&p);

  const auto before = decodeAll(unfixed);
  ASSERT_EQ(before.size(), 3u);
  EXPECT_NE(before[0].colorMatrix, "smpte170m") << "the stream really starts without a colour description";

  ASSERT_EQ(fixed.size(), 3u);
  const auto after = decodeAll(fixed);
  ASSERT_EQ(after.size(), 3u);
  for (const DecodedPicture& picture : after) {
    EXPECT_EQ(picture.colorMatrix, "smpte170m");
    EXPECT_EQ(picture.colorPrimaries, "smpte170m");
    EXPECT_EQ(picture.colorTransfer, "smpte170m");
    EXPECT_FALSE(picture.fullRange);
    EXPECT_NEAR(picture.meanLuma(), 90, 2) << "the pictures themselves are untouched";
  }
}

}  // namespace
}  // namespace pelorin::platform::ffmpeg
