#include "media/hardware_encoder.h"

#include <cstdlib>

#include "base/fd_output.h"
#include "base/sanitize.h"
#include "media/capture_lines.h"
#include "media/frame_stream.h"

namespace pelorin::media {
namespace {

constexpr const char* encoderDomain = "VideoToolbox";
constexpr const char* unavailableMessage = "hardware encoder unavailable";
constexpr std::uint64_t keyframeIntervalNanoseconds = 1000000000;

Error encoderError(std::int64_t code, std::string message) {
  return Error{encoderDomain, code, std::move(message)};
}

const char* profileLogName(Profile profile) {
  return profile == Profile::high ? "high" : profile == Profile::main ? "main" : "constrained_baseline";
}

platform::CompressionSettings compressionSettings(const StreamSettings& stream) {
  using platform::ProfileLevel;
  const ProfileLevel profile = stream.profile == Profile::high   ? ProfileLevel::HighAutoLevel
                               : stream.profile == Profile::main ? ProfileLevel::MainAutoLevel
                                                                 : ProfileLevel::ConstrainedBaselineAutoLevel;
  // Without a bit-rate target (0 or less) the session encodes at constant quality.
  return {stream.frameRate, stream.bitrate > 0 ? std::max(stream.bitrate, minimumBitrate) : 0, profile};
}

std::uint32_t readBigEndian32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

void appendParameterSet(const std::optional<platform::Bytes>& set, ByteBuffer& payload) {
  if (!set || set->empty()) return;  // an unreadable set is left out
  payload.insert(payload.end(), startCode.begin(), startCode.end());
  payload.insert(payload.end(), set->begin(), set->end());
}

}  // namespace

Result<void> appendAnnexBFromAvcc(const platform::Bytes& avcc, std::vector<std::uint8_t>& out) {
  const std::size_t size = avcc.size();
  std::size_t p = 0;
  while (p + 4 <= size) {
    const std::uint64_t length = readBigEndian32(avcc.data() + p);
    if (length < 1 || p + 4 + length > size) return encoderError(-1, "invalid AVCC unit");
    out.insert(out.end(), startCode.begin(), startCode.end());
    out.insert(out.end(), avcc.begin() + static_cast<std::ptrdiff_t>(p + 4),
               avcc.begin() + static_cast<std::ptrdiff_t>(p + 4 + length));
    p += 4 + length;
  }
  return {};
}

HardwareEncoder::HardwareEncoder(const EncoderSettings& settings) : settings_(settings) {}

HardwareEncoder::~HardwareEncoder() {
  // Ends the session's thread before the members its callbacks use go away.
  if (auto session = session_.exchange(nullptr)) session->invalidate();
}

Result<std::unique_ptr<HardwareEncoder>> HardwareEncoder::create(
    platform::CompressionSessionFactory& factory, const EncoderSettings& settings) {
  std::unique_ptr<HardwareEncoder> encoder(new HardwareEncoder(settings));
  if (Result<void> ready = encoder->initialize(factory); !ready) return ready.error();
  return encoder;
}

Result<void> HardwareEncoder::initialize(platform::CompressionSessionFactory& factory) {
  std::unique_ptr<platform::CompressionSession> created;
  const std::int32_t status = factory.create(
      {.width = settings_.stream.width, .height = settings_.stream.height, .requireHardware = true},
      [this](platform::FrameContext context, std::int32_t s, const platform::EncodedSample* sample) {
        handleOutput(std::move(context), s, sample);
      },
      created);
  if (status != 0 || !created) {
    // Hosts match the start of this message; what follows tells the user what to fix.
    const std::string why = factory.lastFailure();
    return encoderError(status, why.empty() ? unavailableMessage : std::string(unavailableMessage) + ": " + why);
  }
  const std::shared_ptr<platform::CompressionSession> session(std::move(created));
  session_.store(session);
  if (const std::int32_t prepared = session->prepareToEncodeFrames(compressionSettings(settings_.stream));
      prepared != 0) {
    const std::string why = factory.lastFailure();
    return encoderError(prepared, why.empty() ? "encoder prepare failed" : "encoder prepare failed: " + why);
  }

  const bool hardware = session->usingHardware();
  if (!hardware && !session->softwareExplicitlyChosen()) {
    session_.store(nullptr);
    session->invalidate();
    return encoderError(-1, "hardware encoder unavailable; software fallback refused");
  }

  writeLine(settings_.errorFd, "capture_encoder encoder=" + session->encoderName() +
                                   " hardware=" + (hardware ? "true" : "false") +
                                   " software_fallback=false profile=" + profileLogName(settings_.stream.profile) +
                                   " b_frames=false encoder_queue_capacity=" + std::to_string(queueCapacity));
  return {};
}

Result<platform::PixelBufferRef> HardwareEncoder::makePixelBuffer() {
  auto session = session_.load();
  auto pool = session ? session->pixelBufferPool() : nullptr;
  if (!pool) return encoderError(-1, "encoder pixel buffer pool unavailable");
  platform::PixelBufferRef buffer = pool->makeBuffer();
  if (!buffer) return Error{"CoreVideo", -1, "pixel buffer allocation failed"};
  return buffer;
}

void HardwareEncoder::encode(platform::PixelBufferRef pixelBuffer, platform::MediaTime presentationTime,
                             std::uint64_t captureNanoseconds) {
  auto session = session_.load();
  if (!session) return;
  bool forceKeyframe = false;
  {
    MutexLock guard(lock_);
    if (outstanding_ >= queueCapacity) {
      ++encoderDrops_;
      return;
    }
    ++outstanding_;
    maxOutstanding_ = std::max(maxOutstanding_, outstanding_);
    // A screen that changes a few times a second would otherwise wait fps frames for a key frame.
    const bool keyframeDue =
        !lastKeyframeCapture_ || captureNanoseconds - *lastKeyframeCapture_ >= keyframeIntervalNanoseconds;
    forceKeyframe = forceKeyframe_ || keyframeDue;
    forceKeyframe_ = false;
    if (forceKeyframe) lastKeyframeCapture_ = captureNanoseconds;
  }
  auto metadata = std::make_shared<FrameMetadata>(FrameMetadata{captureNanoseconds});
  const std::int32_t status = session->encodeFrame(std::move(pixelBuffer), presentationTime,
                                                   settings_.stream.frameRate.interval(), forceKeyframe,
                                                   std::move(metadata));
  if (status != 0) {
    frameReturned();
    writeLine(settings_.errorFd, "encoder_submit_error status=" + std::to_string(status));
  }
}

void HardwareEncoder::requestKeyframe() {
  MutexLock guard(lock_);
  forceKeyframe_ = true;
}

void HardwareEncoder::frameReturned() {
  MutexLock guard(lock_);
  if (outstanding_ > 0) --outstanding_;
}

void HardwareEncoder::handleOutput(platform::FrameContext context, std::int32_t status,
                                   const platform::EncodedSample* sample) {
  if (!context || status != 0 || !sample) {
    writeLine(settings_.errorFd, "encoder_output_error status=" + std::to_string(status));
    countFailedFrame(status);
  } else {
    const auto* metadata = static_cast<const FrameMetadata*>(context.get());
    if (Result<void> emitted = emit(*sample, metadata->captureNanoseconds); !emitted) {
      writeLine(settings_.errorFd, "encoder_output_error reason=" + sanitized(emitted.error().description()));
    }
  }
  frameReturned();
}

void HardwareEncoder::endProcessBetweenRecords(int status) {
  // Held until the exit, so that no other record starts either.
  outputLock_.lock();
  std::_Exit(status);
}

Result<void> HardwareEncoder::emit(const platform::EncodedSample& sample, std::uint64_t captureNanoseconds) {
  {
    // Once the run has failed it is ending: later records have nowhere to go.
    MutexLock guard(lock_);
    if (failure_) return {};
  }
  Result<ByteBuffer> built = makeFrameRecord(sample, captureNanoseconds);
  if (!built) return built.error();
  const ByteBuffer& record = *built;

  Result<void> written;
  {
    MutexLock guard(outputLock_);
    written = writeAll(settings_.outputFd, record.data(), record.size());
  }
  {
    MutexLock guard(lock_);
    if (written) {
      ++encodedFrames_;
      failedInARow_ = 0;
      if (!sample.notSync) lastKeyframeCapture_ = std::max(lastKeyframeCapture_.value_or(0), captureNanoseconds);
      return {};
    }
  }
  const Error failure{written.error().domain, written.error().code,
                      "frame stream write failed: " + written.error().description()};
  failRun(failure);
  return failure;
}

void HardwareEncoder::countFailedFrame(std::int32_t status) {
  bool giveUp = false;
  {
    MutexLock guard(lock_);
    giveUp = ++failedInARow_ == maxFailedFramesInARow;
  }
  // A session that keeps failing after its own resets would encode nothing for the rest of the run.
  if (giveUp) {
    failRun(encoderError(status, "the encoder failed " + std::to_string(maxFailedFramesInARow) + " frames in a row"));
  }
}

void HardwareEncoder::failRun(const Error& error) {
  std::function<void(const Error&)> onFailure;
  {
    MutexLock guard(lock_);
    if (failure_) return;
    failure_ = error;
    onFailure = failureHandler_;
  }
  if (onFailure) onFailure(error);
}

Result<ByteBuffer> makeFrameRecord(const platform::EncodedSample& sample, std::uint64_t captureNanoseconds) {
  if (!sample.dataBlock) return encoderError(-1, "missing encoded block");
  const bool keyFrame = !sample.notSync;
  // Annex-B start codes take the place of the 4-byte lengths, so the record's size is known up
  // front: one allocation, the payload written once, the header filled in last.
  std::size_t expected = frameHeaderSize + sample.dataBlock->size();
  const std::size_t sets = keyFrame ? std::min<std::size_t>(2, sample.parameterSets.size()) : 0;
  for (std::size_t i = 0; i < sets; ++i) {
    if (sample.parameterSets[i]) expected += startCode.size() + sample.parameterSets[i]->size();
  }
  ByteBuffer record(frameHeaderSize);
  record.reserve(expected);
  for (std::size_t i = 0; i < sets; ++i) appendParameterSet(sample.parameterSets[i], record);
  if (Result<void> converted = appendAnnexBFromAvcc(*sample.dataBlock, record); !converted) return converted.error();
  const std::size_t payloadSize = record.size() - frameHeaderSize;
  if (payloadSize == 0 || payloadSize > maxFramePayload) return encoderError(-1, "invalid Annex-B frame");
  ByteBuffer header;
  header.reserve(frameHeaderSize);
  appendFrameHeader(header, static_cast<std::uint32_t>(payloadSize), captureNanoseconds, keyFrame);
  std::copy(header.begin(), header.end(), record.begin());
  return record;
}

Result<void> HardwareEncoder::finish(std::int64_t captureDrops, std::int64_t captureQueueMaxDepth) {
  if (auto session = session_.exchange(nullptr)) {
    session->completeFrames();
    session->invalidate();
  }
  // A summary after a failure would report a complete run that did not happen.
  if (std::optional<Error> failure = runFailure()) return *failure;
  const Counters c = counters();
  writeLine(settings_.errorFd,
            "native_encoder_summary encoded_frames=" + std::to_string(c.encodedFrames) +
                " capture_queue_capacity=" + std::to_string(captureQueueCapacity) +
                " capture_queue_max_depth=" + std::to_string(captureQueueMaxDepth) +
                " encoder_queue_capacity=" + std::to_string(queueCapacity) +
                " encoder_max_depth=" + std::to_string(c.maxOutstanding) +
                " encoder_drops=" + std::to_string(c.encoderDrops) +
                " capture_drops=" + std::to_string(captureDrops) + " queue_policy=drop_newest");
  return {};
}

void HardwareEncoder::setFailureHandler(std::function<void(const Error&)> handler) {
  MutexLock guard(lock_);
  failureHandler_ = std::move(handler);
}

std::optional<Error> HardwareEncoder::runFailure() const {
  MutexLock guard(lock_);
  return failure_;
}

HardwareEncoder::Counters HardwareEncoder::counters() const {
  MutexLock guard(lock_);
  return {outstanding_, maxOutstanding_, encoderDrops_, encodedFrames_};
}

}  // namespace pelorin::media
