// CPU of the colour fix that every hardware packet goes through (h264_metadata rewriting the
// SPS), per 1080p frame, against encoding that frame with libx264 ultrafast: the fix must stay a
// small share of even the cheapest software encode.
#include <chrono>
#include <cstdio>
#include <vector>

#include "platform/ffmpeg/colour_fix.h"
#include "support/measure.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

namespace {

constexpr int width = 1920, height = 1080, frames = 60;

AVCodecContext* openX264() {
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  AVCodecContext* c = codec ? avcodec_alloc_context3(codec) : nullptr;
  if (!c) return nullptr;
  c->width = width;
  c->height = height;
  c->time_base = AVRational{1, 30};
  c->pix_fmt = AV_PIX_FMT_NV12;
  c->gop_size = 30;
  c->max_b_frames = 0;
  c->thread_count = 1;
  av_opt_set(c->priv_data, "preset", "ultrafast", 0);
  av_opt_set(c->priv_data, "tune", "zerolatency", 0);
  if (avcodec_open2(c, codec, nullptr) < 0) avcodec_free_context(&c);
  return c;
}

// A diagonal ramp that moves a little each frame, so P frames carry real slices.
void paint(AVFrame* f, int k) {
  av_frame_make_writable(f);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) f->data[0][y * f->linesize[0] + x] = static_cast<std::uint8_t>(x + y + 3 * k);
  }
  for (int y = 0; y < height / 2; ++y) {
    for (int x = 0; x < width; ++x) f->data[1][y * f->linesize[1] + x] = static_cast<std::uint8_t>(128 + (x + k) % 32);
  }
}

}  // namespace

int main() {
  av_log_set_level(AV_LOG_QUIET);  // only the result line
  AVCodecContext* c = openX264();
  AVFrame* frame = av_frame_alloc();
  AVPacket* packet = av_packet_alloc();
  if (!c || !frame || !packet) return std::fprintf(stderr, "colour_fix: no libx264\n"), 1;
  frame->format = AV_PIX_FMT_NV12;
  frame->width = width;
  frame->height = height;
  av_frame_get_buffer(frame, 0);

  std::vector<AVPacket*> packets;
  std::vector<double> encodeNs;
  for (int k = 0; k < frames; ++k) {
    paint(frame, k);
    frame->pts = k;
    const auto start = std::chrono::steady_clock::now();
    avcodec_send_frame(c, frame);
    while (avcodec_receive_packet(c, packet) == 0) {
      packets.push_back(av_packet_clone(packet));
      av_packet_unref(packet);
    }
    encodeNs.push_back(std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count());
  }
  auto fix = pelorin::platform::ffmpeg::ColourFix::create(c);
  if (!fix) return std::fprintf(stderr, "colour_fix: %s\n", fix.error().message.c_str()), 1;
  std::size_t next = 0;
  const double fixNs = pelorin::bench::medianNanoseconds(
      [&] {
        AVPacket* copy = av_packet_clone(packets[next++ % packets.size()]);
        (*fix)->send(copy);
        while ((*fix)->receive(packet) == 0) av_packet_unref(packet);
        av_packet_free(&copy);
      },
      static_cast<int>(packets.size()));
  for (AVPacket*& p : packets) av_packet_free(&p);
  av_packet_free(&packet);
  av_frame_free(&frame);
  avcodec_free_context(&c);
  return pelorin::bench::reportRatio("colour_fix_1080p_vs_x264_encode", fixNs / 1e6,
                                     pelorin::bench::median(encodeNs) / 1e6, 0.05, "ms/frame")
             ? 0
             : 1;
}
