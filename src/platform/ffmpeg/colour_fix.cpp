#include "platform/ffmpeg/colour_fix.h"

#include "platform/ffmpeg/av_error.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavutil/opt.h>
}

namespace pelorin::platform::ffmpeg {
namespace {

// VUI values of the H.264 tables E-3, E-4 and E-5: 6 is SMPTE 170M in each.
constexpr const char* settings[][2] = {
    {"video_full_range_flag", "0"},
    {"colour_primaries", "6"},
    {"transfer_characteristics", "6"},
    {"matrix_coefficients", "6"},
};

}  // namespace

Result<std::unique_ptr<ColourFix>> ColourFix::create(const AVCodecContext* codec) {
  const AVBitStreamFilter* kind = av_bsf_get_by_name("h264_metadata");
  if (!kind) return avError(AVERROR_BSF_NOT_FOUND, "h264_metadata is not in this libavcodec");
  AVBSFContext* filter = nullptr;
  if (const int status = av_bsf_alloc(kind, &filter); status < 0) return avError(status, "h264_metadata");
  std::unique_ptr<ColourFix> fix(new ColourFix(filter));
  int status = avcodec_parameters_from_context(filter->par_in, codec);
  filter->time_base_in = codec->time_base;
  for (const auto& [key, value] : settings) {
    if (status >= 0) status = av_opt_set(filter->priv_data, key, value, 0);
  }
  if (status >= 0) status = av_bsf_init(filter);
  if (status < 0) return avError(status, "h264_metadata");
  return fix;
}

ColourFix::~ColourFix() { av_bsf_free(&filter_); }

int ColourFix::send(AVPacket* packet) { return av_bsf_send_packet(filter_, packet); }

int ColourFix::receive(AVPacket* packet) { return av_bsf_receive_packet(filter_, packet); }

ByteSpan ColourFix::extradata() const {
  const AVCodecParameters* out = filter_->par_out;
  if (!out->extradata || out->extradata_size <= 0) return {};
  return ByteSpan(out->extradata, static_cast<std::size_t>(out->extradata_size));
}

}  // namespace pelorin::platform::ffmpeg
