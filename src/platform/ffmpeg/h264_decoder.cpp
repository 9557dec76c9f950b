#include "platform/ffmpeg/h264_decoder.h"

#include <cstring>
#include <numeric>

#include "platform/ffmpeg/av_error.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

namespace pelorin::platform::ffmpeg {

double DecodedPicture::meanLuma() const {
  if (luma.empty()) return 0.0;
  const std::uint64_t sum = std::accumulate(luma.begin(), luma.end(), std::uint64_t{0});
  return static_cast<double>(sum) / static_cast<double>(luma.size());
}

struct H264Decoder::State {
  AVCodecContext* context = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  bool flushed = false;

  ~State() {
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
  }
};

namespace {

void copyPlane(const AVFrame* frame, int plane, int width, int height, std::vector<std::uint8_t>& out) {
  out.resize(static_cast<std::size_t>(width) * height);
  for (int y = 0; y < height; ++y) {
    std::memcpy(out.data() + static_cast<std::size_t>(y) * width,
                frame->data[plane] + static_cast<std::ptrdiff_t>(y) * frame->linesize[plane], width);
  }
}

Result<DecodedPicture> copyPicture(const AVFrame* frame) {
  const auto format = static_cast<AVPixelFormat>(frame->format);
  if (format != AV_PIX_FMT_YUV420P && format != AV_PIX_FMT_YUVJ420P) {
    const char* name = av_get_pix_fmt_name(format);
    return Error{ffmpegDomain, AVERROR_PATCHWELCOME,
                 std::string("unsupported decoded pixel format ") + (name ? name : "?")};
  }
  DecodedPicture picture;
  picture.width = frame->width;
  picture.height = frame->height;
  const int chromaWidth = (frame->width + 1) / 2;
  const int chromaHeight = (frame->height + 1) / 2;
  copyPlane(frame, 0, frame->width, frame->height, picture.luma);
  copyPlane(frame, 1, chromaWidth, chromaHeight, picture.chromaU);
  copyPlane(frame, 2, chromaWidth, chromaHeight, picture.chromaV);
#ifdef AV_FRAME_FLAG_KEY
  picture.keyFrame = (frame->flags & AV_FRAME_FLAG_KEY) != 0;
#else
  picture.keyFrame = frame->key_frame != 0;
#endif
  picture.fullRange = frame->color_range == AVCOL_RANGE_JPEG || format == AV_PIX_FMT_YUVJ420P;
  const auto named = [](const char* name) { return std::string(name ? name : "unknown"); };
  picture.colorMatrix = named(av_color_space_name(frame->colorspace));
  picture.colorPrimaries = named(av_color_primaries_name(frame->color_primaries));
  picture.colorTransfer = named(av_color_transfer_name(frame->color_trc));
  return picture;
}

// Takes every picture the decoder has ready.
Result<std::vector<DecodedPicture>> drain(AVCodecContext* context, AVFrame* frame) {
  std::vector<DecodedPicture> pictures;
  for (;;) {
    const int status = avcodec_receive_frame(context, frame);
    if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) break;
    if (status < 0) return avError(status, "decode");
    Result<DecodedPicture> picture = copyPicture(frame);
    av_frame_unref(frame);
    if (!picture) return picture.error();
    pictures.push_back(std::move(picture.value()));
  }
  return pictures;
}

}  // namespace

Result<std::unique_ptr<H264Decoder>> H264Decoder::create() {
  quietLibavLogging();
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  if (!codec) return avError(AVERROR_DECODER_NOT_FOUND, "h264 decoder");
  auto state = std::make_unique<State>();
  state->context = avcodec_alloc_context3(codec);
  state->packet = av_packet_alloc();
  state->frame = av_frame_alloc();
  if (!state->context || !state->packet || !state->frame) return avError(AVERROR(ENOMEM));
  // One thread: pictures come out as soon as their access unit is in, without frame-thread delay.
  state->context->thread_count = 1;
  // Damaged input is an error for the caller to see, not something to conceal.
  state->context->err_recognition = AV_EF_EXPLODE;
  if (const int status = avcodec_open2(state->context, codec, nullptr); status < 0) {
    return avError(status, "open h264 decoder");
  }
  return std::unique_ptr<H264Decoder>(new H264Decoder(std::move(state)));
}

H264Decoder::H264Decoder(std::unique_ptr<State> state) : state_(std::move(state)) {}
H264Decoder::~H264Decoder() = default;

Result<std::vector<DecodedPicture>> H264Decoder::decode(ByteSpan accessUnit) {
  if (state_->flushed) return Error{ffmpegDomain, AVERROR_EOF, "decoder already flushed"};
  if (accessUnit.empty()) return std::vector<DecodedPicture>{};
  if (const int status = av_new_packet(state_->packet, static_cast<int>(accessUnit.size())); status < 0) {
    return avError(status);
  }
  std::memcpy(state_->packet->data, accessUnit.data(), accessUnit.size());
  const int status = avcodec_send_packet(state_->context, state_->packet);
  av_packet_unref(state_->packet);
  if (status < 0) return avError(status, "decode");
  return drain(state_->context, state_->frame);
}

Result<std::vector<DecodedPicture>> H264Decoder::flush() {
  if (!state_->flushed) {
    state_->flushed = true;
    if (const int status = avcodec_send_packet(state_->context, nullptr); status < 0) {
      return avError(status, "flush");
    }
  }
  return drain(state_->context, state_->frame);
}

}  // namespace pelorin::platform::ffmpeg
