#include "media/fake_compression.h"

namespace pelorin::test {

Bytes avccOf(const std::vector<Bytes>& units) {
  Bytes out;
  for (const Bytes& u : units) {
    const auto n = static_cast<std::uint32_t>(u.size());
    out.insert(out.end(), {static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16),
                           static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)});
    out.insert(out.end(), u.begin(), u.end());
  }
  return out;
}

EncodedSample sampleFor(bool key, Bytes avcc) {
  EncodedSample s;
  s.notSync = !key;
  s.parameterSets = {Bytes{0x67, 0x42, 0xC0, 0x1E}, Bytes{0x68, 0xCE, 0x3C, 0x80}};
  s.dataBlock = std::move(avcc);
  return s;
}

FakeSession::FakeSession(FakeScript script, FakeLog& log, int width, int height,
                         platform::CompressionOutputHandler output)
    : log(log), script_(script), output_(std::move(output)) {
  if (script_.poolAvailable) pool_ = platform::NV12BufferPool::create(width, height, script_.poolLimit);
  if (script_.deliverOnThread) worker_ = std::thread([this] { workerLoop(); });
}

FakeSession::~FakeSession() { invalidate(); }

std::int32_t FakeSession::setProperty(CompressionProperty key, const PropertyValue& value) {
  log.properties.emplace_back(key, value);
  return script_.failingProperty == key ? script_.propertyStatus : 0;
}

std::int32_t FakeSession::copyProperty(CompressionProperty key, PropertyValue& value) {
  if (key != CompressionProperty::UsingHardwareAcceleratedVideoEncoder) return -1;
  value = script_.usingHardware;
  return script_.usingHardwareStatus;
}

std::shared_ptr<platform::NV12BufferPool> FakeSession::pixelBufferPool() {
  std::lock_guard lock(mutex_);
  return log.invalidated ? nullptr : pool_;
}

std::int32_t FakeSession::encodeFrame(platform::PixelBufferRef buffer, platform::MediaTime presentationTime,
                                      platform::MediaTime duration, bool forceKeyFrame, FrameContext context) {
  std::lock_guard lock(mutex_);
  if (log.invalidated) return -12903;
  if (script_.submitStatus != 0) {
    log.submissions.push_back({buffer, presentationTime, duration, forceKeyFrame, nullptr});
    return script_.submitStatus;
  }
  Submission s{std::move(buffer), presentationTime, duration, forceKeyFrame, std::move(context)};
  log.submissions.push_back({s.buffer, s.presentationTime, s.duration, s.forceKeyFrame, nullptr});
  pending_.push_back(std::move(s));
  wake_.notify_all();
  return 0;
}

void FakeSession::deliverNext(const EncodedSample& sample) {
  Submission s;
  {
    std::lock_guard lock(mutex_);
    if (pending_.empty()) return;
    s = std::move(pending_.front());
    pending_.pop_front();
  }
  output_(std::move(s.context), 0, &sample);
}

void FakeSession::deliverNextError(std::int32_t status) {
  Submission s;
  {
    std::lock_guard lock(mutex_);
    if (pending_.empty()) return;
    s = std::move(pending_.front());
    pending_.pop_front();
  }
  output_(std::move(s.context), status, nullptr);
}

std::size_t FakeSession::pendingCount() {
  std::lock_guard lock(mutex_);
  return pending_.size();
}

void FakeSession::workerLoop() {
  std::unique_lock lock(mutex_);
  std::uint64_t index = 0;
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
    if (pending_.empty()) return;
    Submission s = std::move(pending_.front());
    pending_.pop_front();
    ++inDelivery_;
    const bool key = s.forceKeyFrame || index++ % 30 == 0;
    lock.unlock();
    const EncodedSample sample = sampleFor(key, avccOf({Bytes(64, key ? 0x65 : 0x41)}));
    output_(std::move(s.context), 0, &sample);
    lock.lock();
    --inDelivery_;
    wake_.notify_all();
  }
}

std::int32_t FakeSession::completeFrames() {
  ++log.completeCalls;
  if (script_.deliverOnThread) {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return pending_.empty() && inDelivery_ == 0; });
    return 0;
  }
  while (pendingCount() > 0) deliverNext(sampleFor(false, avccOf({Bytes{0x41, 0x9A}})));
  return 0;
}

void FakeSession::invalidate() {
  {
    std::lock_guard lock(mutex_);
    log.invalidated = true;
    stopping_ = true;
  }
  wake_.notify_all();
  if (worker_.joinable()) worker_.join();
  while (pendingCount() > 0) deliverNextError(-12903);
}

std::int32_t FakeFactory::create(const platform::CompressionSessionSpec& spec,
                                 platform::CompressionOutputHandler output,
                                 std::unique_ptr<platform::CompressionSession>& session) {
  lastSpec = spec;
  if (script.createStatus != 0) return script.createStatus;
  auto created = std::make_unique<FakeSession>(script, log, spec.width, spec.height, std::move(output));
  last = created.get();
  session = std::move(created);
  return 0;
}

}  // namespace pelorin::test
