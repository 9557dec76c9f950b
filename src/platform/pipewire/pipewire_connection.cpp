#include "platform/pipewire/pipewire_connection.h"

#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include "platform/media_time.h"

namespace pelorin::platform::pipewire {

// Everything here is touched on the loop thread, or with the loop locked.
struct PipeWireConnection::State {
  ConnectionHandlers handlers;
  std::uint32_t nodeId = 0;
  pw_thread_loop* loop = nullptr;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  pw_registry* registry = nullptr;
  pw_stream* stream = nullptr;
  spa_hook coreListener{};
  spa_hook registryListener{};
  spa_hook streamListener{};
  spa_source* timer = nullptr;
  std::function<void()> tick;
  spa_video_info_raw format{};
  pw_buffer* held = nullptr;  // the last picture's buffer, kept from PipeWire until the next
  bool streaming = false;
  bool opened = false;  // open() has returned: an end is told to the handler, not to open()'s caller
  std::optional<Error> failure;  // the first reason the stream ended; nothing is handled after it

  void end(Error error) {
    if (failure) return;
    failure = error;
    if (timer) pw_loop_update_timer(pw_thread_loop_get_loop(loop), timer, nullptr, nullptr, false);
    pw_thread_loop_signal(loop, false);
    if (opened && handlers.ended) handlers.ended(error);
  }
};

namespace {

using State = PipeWireConnection::State;
constexpr int startTimeoutSeconds = 5;
constexpr std::uint32_t damageRegions = 16;

void onCoreError(void* data, std::uint32_t id, int, int res, const char* message) {
  // Errors of other objects are answers to single requests; the core's own ends the connection.
  if (id != PW_ID_CORE) return;
  static_cast<State*>(data)->end(pipeWireError(std::string("the PipeWire connection failed: ") + message, res));
}

void onGlobalRemoved(void* data, std::uint32_t id) {
  auto* state = static_cast<State*>(data);
  if (id == state->nodeId) state->end(pipeWireError("the screen cast stream ended", captureStatus::castEnded));
}

void onStateChanged(void* data, pw_stream_state old, pw_stream_state now, const char* error) {
  auto* state = static_cast<State*>(data);
  if (now == PW_STREAM_STATE_STREAMING) state->streaming = true;
  if (now == PW_STREAM_STATE_ERROR) {
    state->end(pipeWireError(std::string("the PipeWire stream failed: ") + (error ? error : "unknown error")));
  } else if (now == PW_STREAM_STATE_UNCONNECTED && old != PW_STREAM_STATE_UNCONNECTED) {
    state->end(pipeWireError("the PipeWire stream was disconnected", captureStatus::castEnded));
  }
  pw_thread_loop_signal(state->loop, false);
}

// Once the format is fixed: buffers the process can read (shared memory, mapped), and the damage.
void onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
  auto* state = static_cast<State*>(data);
  if (id != SPA_PARAM_Format || !param) return;
  std::uint32_t mediaType = 0;
  std::uint32_t mediaSubtype = 0;
  if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
      mediaSubtype != SPA_MEDIA_SUBTYPE_raw || spa_format_video_raw_parse(param, &state->format) < 0) {
    state->end(pipeWireError("the screen cast offers no raw video"));
    return;
  }
  std::uint8_t storage[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
  const spa_pod* params[3];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
      SPA_POD_CHOICE_RANGE_Int(4, 2, 16), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_dataType,
      // Memory the process can read; DMA-BUF is refused, as it may not be mappable without a GPU.
      SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd))));
  const int regionBytes = static_cast<int>(sizeof(spa_meta_region));
  params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoDamage),
      SPA_PARAM_META_size,
      SPA_POD_CHOICE_RANGE_Int(regionBytes * static_cast<int>(damageRegions), regionBytes,
                               regionBytes * static_cast<int>(damageRegions))));
  params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoCrop),
      SPA_PARAM_META_size, SPA_POD_Int(regionBytes)));
  pw_stream_update_params(state->stream, params, 3);
}

// The damage of a buffer; none when it names none (then all of it changed).
std::vector<render::PixelRect> damageOf(spa_buffer* buffer) {
  std::vector<render::PixelRect> damage;
  auto* meta = static_cast<spa_meta*>(spa_buffer_find_meta(buffer, SPA_META_VideoDamage));
  if (!meta) return damage;
  spa_meta_region* region = nullptr;
  spa_meta_for_each(region, meta) {
    if (!spa_meta_region_is_valid(region)) break;
    damage.push_back({region->region.position.x, region->region.position.y,
                      static_cast<int>(region->region.size.width), static_cast<int>(region->region.size.height)});
  }
  return damage;
}

// mutter streams a window in buffers of a fixed size, the window in the part its crop names: that
// part is the picture, and its size the window's. The damage, relative to the whole buffer, is then
// dropped (all of the picture changed); a crop of the whole buffer changes nothing.
void cropToContent(spa_buffer* buffer, ReceivedBuffer& received) {
  auto* crop =
      static_cast<spa_meta_region*>(spa_buffer_find_meta_data(buffer, SPA_META_VideoCrop, sizeof(spa_meta_region)));
  if (!crop || !spa_meta_region_is_valid(crop)) return;
  const render::PixelRect part{crop->region.position.x, crop->region.position.y,
                               static_cast<int>(crop->region.size.width), static_cast<int>(crop->region.size.height)};
  render::BgrxView& picture = received.picture;
  if (part.x < 0 || part.y < 0 || part.x + part.width > picture.width || part.y + part.height > picture.height) return;
  if (part.width == picture.width && part.height == picture.height) return;
  picture.pixels += static_cast<std::size_t>(part.y) * picture.bytesPerRow + static_cast<std::size_t>(part.x) * 4;
  picture.width = part.width;
  picture.height = part.height;
  received.damage.clear();
}

// Whether the buffer held a picture and was handed over.
bool handleBuffer(State& state, spa_buffer* buffer) {
  if (buffer->n_datas < 1) return false;
  const spa_data& d = buffer->datas[0];
  if (!d.data || !d.chunk || d.chunk->size == 0 || (d.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED)) return false;
  const int width = static_cast<int>(state.format.size.width);
  const int height = static_cast<int>(state.format.size.height);
  const std::size_t stride = d.chunk->stride > 0 ? static_cast<std::size_t>(d.chunk->stride)
                                                 : static_cast<std::size_t>(width) * 4;
  const std::size_t needed = static_cast<std::size_t>(d.chunk->offset) + stride * static_cast<std::size_t>(height);
  if (width <= 0 || height <= 0 || stride < static_cast<std::size_t>(width) * 4 || needed > d.maxsize) return false;
  ReceivedBuffer received;
  received.picture = {static_cast<const std::uint8_t*>(d.data) + d.chunk->offset, stride, width, height};
  received.damage = damageOf(buffer);
  cropToContent(buffer, received);
  received.arrivalSeconds = monotonicSeconds();
  Result<void> taken = state.handlers.picture(received);
  if (!taken) state.end(taken.error());
  return taken.ok();
}

// Every buffer in order, as each one's damage is relative to the one before. The newest picture
// is kept rather than copied: a tick draws from it, and draws it again on a still screen.
void onProcess(void* data) {
  auto* state = static_cast<State*>(data);
  while (pw_buffer* buffer = pw_stream_dequeue_buffer(state->stream)) {
    if (state->failure || !handleBuffer(*state, buffer->buffer)) {
      pw_stream_queue_buffer(state->stream, buffer);
      continue;
    }
    if (state->held) pw_stream_queue_buffer(state->stream, state->held);
    state->held = buffer;
  }
}

void onRemoveBuffer(void* data, pw_buffer* buffer) {
  auto* state = static_cast<State*>(data);
  if (buffer != state->held) return;
  state->held = nullptr;
  if (state->handlers.forget) state->handlers.forget();
}

void onTimer(void* data, std::uint64_t) {
  auto* state = static_cast<State*>(data);
  if (!state->failure && state->tick) state->tick();
}

const pw_core_events coreEvents = [] {
  pw_core_events events{};
  events.version = PW_VERSION_CORE_EVENTS;
  events.error = onCoreError;
  return events;
}();

const pw_registry_events registryEvents = [] {
  pw_registry_events events{};
  events.version = PW_VERSION_REGISTRY_EVENTS;
  events.global_remove = onGlobalRemoved;
  return events;
}();

const pw_stream_events streamEvents = [] {
  pw_stream_events events{};
  events.version = PW_VERSION_STREAM_EVENTS;
  events.state_changed = onStateChanged;
  events.param_changed = onParamChanged;
  events.process = onProcess;
  events.remove_buffer = onRemoveBuffer;
  return events;
}();

// BGRx or BGRA of any size, at most `maximumFps` a second; no modifier, so no DMA-BUF.
const spa_pod* formatParam(spa_pod_builder& builder, int maximumFps) {
  spa_rectangle size{1920, 1080};
  spa_rectangle minSize{1, 1};
  spa_rectangle maxSize{16384, 16384};
  spa_fraction rate{0, 1};
  spa_fraction minRate{0, 1};
  spa_fraction maxRate{1000, 1};
  spa_fraction fps{static_cast<std::uint32_t>(maximumFps), 1};
  spa_fraction minFps{1, 1};
  return static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA),
      SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&size, &minSize, &maxSize), SPA_FORMAT_VIDEO_framerate,
      SPA_POD_CHOICE_RANGE_Fraction(&rate, &minRate, &maxRate), SPA_FORMAT_VIDEO_maxFramerate,
      SPA_POD_CHOICE_RANGE_Fraction(&fps, &minFps, &fps)));
}

// Connects the core and the stream; called with the loop locked.
Result<void> connect(State& state, int remoteFd, int maximumFps) {
  state.core = pw_context_connect_fd(state.context, remoteFd, nullptr, 0);
  if (!state.core) return pipeWireError("cannot connect to the PipeWire remote", -errno);
  pw_core_add_listener(state.core, &state.coreListener, &coreEvents, &state);
  state.registry = pw_core_get_registry(state.core, PW_VERSION_REGISTRY, 0);
  pw_registry_add_listener(state.registry, &state.registryListener, &registryEvents, &state);
  state.stream = pw_stream_new(state.core, "Pelorin",
                               pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                 PW_KEY_MEDIA_ROLE, "Screen", nullptr));
  if (!state.stream) return pipeWireError("cannot make a PipeWire stream", -errno);
  pw_stream_add_listener(state.stream, &state.streamListener, &streamEvents, &state);
  std::uint8_t storage[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
  const spa_pod* params[1] = {formatParam(builder, maximumFps)};
  const int connected = pw_stream_connect(state.stream, PW_DIRECTION_INPUT, state.nodeId,
                                          static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT |
                                                                       PW_STREAM_FLAG_MAP_BUFFERS),
                                          params, 1);
  if (connected < 0) return pipeWireError("cannot connect the PipeWire stream", connected);
  return {};
}

Result<void> waitUntilStreaming(State& state) {
  timespec deadline{};
  pw_thread_loop_get_time(state.loop, &deadline, std::int64_t{startTimeoutSeconds} * SPA_NSEC_PER_SEC);
  while (!state.streaming && !state.failure) {
    if (pw_thread_loop_timed_wait_full(state.loop, &deadline) != 0) {
      return pipeWireError("the screen cast stream did not start");
    }
  }
  if (state.failure) return *state.failure;
  return {};
}

}  // namespace

Result<std::unique_ptr<PipeWireConnection>> PipeWireConnection::open(int remoteFd, std::uint32_t nodeId,
                                                                      int maximumFps, ConnectionHandlers handlers) {
  pw_init(nullptr, nullptr);
  auto state = std::make_unique<State>();
  state->handlers = std::move(handlers);
  state->nodeId = nodeId;
  state->loop = pw_thread_loop_new("pelorin.grab", nullptr);
  // Pictures are megabytes each and have no real-time deadline: locking their buffers in memory
  // would fault every page in at the start, tens of milliseconds of CPU per stream.
  if (state->loop) {
    state->context = pw_context_new(pw_thread_loop_get_loop(state->loop),
                                    pw_properties_new("mem.allow-mlock", "false", nullptr), 0);
  }
  State& s = *state;
  std::unique_ptr<PipeWireConnection> connection(new PipeWireConnection(std::move(state)));
  if (!s.context || pw_thread_loop_start(s.loop) < 0) {
    if (remoteFd >= 0) ::close(remoteFd);
    return pipeWireError("cannot start a PipeWire loop");
  }
  pw_thread_loop_lock(s.loop);
  Result<void> result = connect(s, remoteFd, maximumFps);
  if (result) result = waitUntilStreaming(s);
  s.opened = result.ok();
  pw_thread_loop_unlock(s.loop);
  if (!result) return result.error();
  return connection;
}

PipeWireConnection::PipeWireConnection(std::unique_ptr<State> state) : state_(std::move(state)) {}

PipeWireConnection::~PipeWireConnection() {
  State& s = *state_;
  if (s.context) {
    pw_thread_loop_lock(s.loop);
    if (s.timer) pw_loop_destroy_source(pw_thread_loop_get_loop(s.loop), s.timer);
    if (s.stream) pw_stream_destroy(s.stream);
    if (s.registry) {
      spa_hook_remove(&s.registryListener);
      pw_proxy_destroy(reinterpret_cast<pw_proxy*>(s.registry));
    }
    if (s.core) {
      spa_hook_remove(&s.coreListener);
      pw_core_disconnect(s.core);
    }
    pw_thread_loop_unlock(s.loop);
    pw_thread_loop_stop(s.loop);
    pw_context_destroy(s.context);
  }
  if (s.loop) pw_thread_loop_destroy(s.loop);
  pw_deinit();
}

void PipeWireConnection::locked(const std::function<void()>& work) {
  pw_thread_loop_lock(state_->loop);
  work();
  pw_thread_loop_unlock(state_->loop);
}

void PipeWireConnection::setTicks(std::chrono::nanoseconds interval, std::function<void()> tick) {
  State& s = *state_;
  pw_loop* loop = pw_thread_loop_get_loop(s.loop);
  pw_thread_loop_lock(s.loop);
  s.tick = std::move(tick);
  if (!s.timer) s.timer = pw_loop_add_timer(loop, onTimer, &s);
  const timespec every{static_cast<time_t>(interval.count() / 1000000000),
                       static_cast<long>(interval.count() % 1000000000)};
  if (s.timer && !s.failure) pw_loop_update_timer(loop, s.timer, const_cast<timespec*>(&every),
                                                  const_cast<timespec*>(&every), false);
  pw_thread_loop_unlock(s.loop);
}

bool PipeWireConnection::onLoopThread() const { return pw_thread_loop_in_thread(state_->loop); }

}  // namespace pelorin::platform::pipewire
