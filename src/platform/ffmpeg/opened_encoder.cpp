#include "platform/ffmpeg/opened_encoder.h"

#include <dlfcn.h>

#include <filesystem>

#include "platform/ffmpeg/av_error.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
#include <libavutil/opt.h>
}

namespace pelorin::platform::ffmpeg {
namespace {

DeviceRef adopt(AVBufferRef* device) {
  return DeviceRef(device, [](AVBufferRef* d) { av_buffer_unref(&d); });
}

Error missing(const std::string& what) { return Error{ffmpegDomain, AVERROR(ENODEV), what}; }

Result<DeviceRef> vaapiDevice(const std::string& node) {
  if (!std::filesystem::exists(node)) return missing("no render node " + node);
  AVBufferRef* device = nullptr;
  if (const int status = av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, node.c_str(), nullptr, 0);
      status < 0) {
    return avError(status, "cannot open VA-API device " + node + " (no VA driver for it?)");
  }
  return adopt(device);
}

// Quick Sync on the same GPU as VA-API, not whichever Intel node libmfx finds first.
Result<DeviceRef> qsvDevice(const std::string& node) {
  auto vaapi = vaapiDevice(node);
  if (!vaapi) return vaapi.error();
  AVBufferRef* device = nullptr;
  if (const int status = av_hwdevice_ctx_create_derived(&device, AV_HWDEVICE_TYPE_QSV, vaapi->get(), 0); status < 0) {
    return avError(status, "no Quick Sync session on " + node + " (no Intel media runtime?)");
  }
  return adopt(device);
}

// NVENC loads the driver's libraries itself and only says "Cannot load libcuda.so.1"; name them first.
Result<DeviceRef> nvidiaLibraries() {
  for (const char* library : {"libcuda.so.1", "libnvidia-encode.so.1"}) {
    void* handle = dlopen(library, RTLD_LAZY | RTLD_LOCAL);
    if (!handle) return missing(std::string("no NVIDIA driver (") + library + ")");
    dlclose(handle);
  }
  return DeviceRef();
}

Result<void> attachSurfaces(AVCodecContext* c, const DeviceRef& device) {
  AVBufferRef* frames = av_hwframe_ctx_alloc(device.get());
  if (!frames) return avError(AVERROR(ENOMEM));
  auto* fc = reinterpret_cast<AVHWFramesContext*>(frames->data);
  fc->format = AV_PIX_FMT_VAAPI;
  fc->sw_format = AV_PIX_FMT_NV12;
  fc->width = c->width;
  fc->height = c->height;
  fc->initial_pool_size = 8;
  if (const int status = av_hwframe_ctx_init(frames); status < 0) {
    av_buffer_unref(&frames);
    return avError(status, "VA-API surfaces");
  }
  c->hw_frames_ctx = frames;  // the context takes this reference
  return {};
}

struct ContextDeleter {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
using ContextPtr = std::unique_ptr<AVCodecContext, ContextDeleter>;

}  // namespace

Result<DeviceRef> acquireDevice(Backend backend, const std::string& vaapiNode) {
  switch (backend) {
    case Backend::Vaapi: return vaapiDevice(vaapiNode);
    case Backend::Qsv: return qsvDevice(vaapiNode);
    case Backend::Nvenc: return nvidiaLibraries();
    case Backend::X264: return DeviceRef();
  }
  return DeviceRef();
}

Result<void> applyOptions(AVCodecContext* context, const OptionList& options) {
  std::string unused;
  for (const auto& [key, value] : options) {
    const int status = av_opt_set(context, key.c_str(), value.c_str(), AV_OPT_SEARCH_CHILDREN);
    if (status == AVERROR_OPTION_NOT_FOUND) {
      unused += (unused.empty() ? "" : ",") + key;
    } else if (status < 0) {
      return avError(status, "option " + key + "=" + value + " refused");
    }
  }
  if (!unused.empty()) return Error{ffmpegDomain, AVERROR_OPTION_NOT_FOUND, "options not taken: " + unused};
  return {};
}

Result<std::unique_ptr<OpenedEncoder>> OpenedEncoder::open(const OpenAttempt& attempt, const CodecSettings& s,
                                                           const DeviceRef& device) {
  const BackendEntry& entry = backendEntry(attempt.backend);
  const AVCodec* codec = avcodec_find_encoder_by_name(entry.codec);
  if (!codec) return avError(AVERROR_ENCODER_NOT_FOUND, std::string(entry.codec) + " is not in this libavcodec");
  ContextPtr c(avcodec_alloc_context3(codec));
  if (!c) return avError(AVERROR(ENOMEM));
  c->width = s.width;
  c->height = s.height;
  c->framerate = AVRational{s.frameRate.num, s.frameRate.den};
  c->time_base = av_inv_q(c->framerate);
  const bool uploads = attempt.backend == Backend::Vaapi;
  c->pix_fmt = uploads ? AV_PIX_FMT_VAAPI : AV_PIX_FMT_NV12;
  if (auto applied = applyOptions(c.get(), codecOptions(attempt.backend, s, attempt.rate)); !applied) {
    return applied.error();
  }
  if (uploads) {
    if (auto attached = attachSurfaces(c.get(), device); !attached) return attached.error();
  } else if (device) {
    c->hw_device_ctx = av_buffer_ref(device.get());
  }
  if (const int status = avcodec_open2(c.get(), codec, nullptr); status < 0) return avError(status, entry.codec);

  std::unique_ptr<OpenedEncoder> opened(new OpenedEncoder());
  if (entry.hardware) {
    auto fix = ColourFix::create(c.get());
    if (!fix) return fix.error();
    opened->colourFix_ = std::move(*fix);
  }
  opened->codec_ = c.release();
  opened->uploads_ = uploads;
  return opened;
}

OpenedEncoder::~OpenedEncoder() { avcodec_free_context(&codec_); }

int OpenedEncoder::upload(AVFrame* frame, AVFrame*& surface) {
  surface = av_frame_alloc();
  int status = surface ? av_hwframe_get_buffer(codec_->hw_frames_ctx, surface, 0) : AVERROR(ENOMEM);
  if (status == 0) status = av_hwframe_transfer_data(surface, frame, 0);
  if (status == 0) status = av_frame_copy_props(surface, frame);
  if (status < 0) av_frame_free(&surface);
  return status;
}

int OpenedEncoder::send(AVFrame* frame) {
  if (!frame || !uploads_) return avcodec_send_frame(codec_, frame);
  AVFrame* surface = nullptr;
  int status = upload(frame, surface);
  if (status == 0) status = avcodec_send_frame(codec_, surface);
  av_frame_free(&surface);
  return status;
}

int OpenedEncoder::receive(AVPacket* packet) {
  if (!colourFix_) return avcodec_receive_packet(codec_, packet);
  for (;;) {
    const int fixed = colourFix_->receive(packet);
    if (fixed != AVERROR(EAGAIN)) return fixed;
    if (codecDrained_) return AVERROR_EOF;
    const int status = avcodec_receive_packet(codec_, packet);
    if (status == AVERROR_EOF) {
      codecDrained_ = true;
      colourFix_->send(nullptr);
      continue;
    }
    if (status < 0) return status;
    if (const int sent = colourFix_->send(packet); sent < 0) {
      av_packet_unref(packet);
      return sent;
    }
  }
}

ByteSpan OpenedEncoder::extradata() const {
  if (colourFix_) return colourFix_->extradata();
  if (!codec_->extradata || codec_->extradata_size <= 0) return {};
  return ByteSpan(codec_->extradata, static_cast<std::size_t>(codec_->extradata_size));
}

}  // namespace pelorin::platform::ffmpeg
