#include "media/fake_compression.h"

namespace pelorin::test {

Bytes avccOf(const std::vector<Bytes>& units) {
  Bytes out;
  for (const Bytes& u : units) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(u.size() >> shift));
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
    : log_(log), script_(script), output_(std::move(output)),
      pool_(platform::NV12BufferPool::create(width, height, script_.poolLimit)) {
  if (script_.deliverOnThread) worker_ = std::thread([this] { workerLoop(); });
}

std::int32_t FakeSession::encodeFrame(platform::PixelBufferRef buffer, platform::MediaTime presentationTime,
                                      platform::MediaTime, bool forceKeyFrame,
                                      platform::FrameContext context) {
  std::lock_guard lock(mutex_);
  if (log_.invalidated) return -12903;
  log_.submissions.push_back({std::move(buffer), presentationTime, forceKeyFrame});
  if (script_.submitStatus != 0) return script_.submitStatus;
  pending_.emplace_back(std::move(context), forceKeyFrame);
  wake_.notify_all();
  return 0;
}

std::optional<platform::FrameContext> FakeSession::takeNext() {
  std::lock_guard lock(mutex_);
  if (pending_.empty()) return std::nullopt;
  platform::FrameContext next = std::move(pending_.front().first);
  pending_.pop_front();
  return next;
}

void FakeSession::workerLoop() {
  std::unique_lock lock(mutex_);
  for (std::uint64_t index = 0;; ++index) {
    wake_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
    if (pending_.empty()) return;
    auto [context, forced] = std::move(pending_.front());
    pending_.pop_front();
    ++inDelivery_;
    const bool key = forced || index % 30 == 0;
    lock.unlock();
    const EncodedSample sample = sampleFor(key, avccOf({Bytes(64, key ? 0x65 : 0x41)}));
    output_(std::move(context), 0, &sample);
    lock.lock();
    --inDelivery_;
    wake_.notify_all();
  }
}

std::int32_t FakeSession::completeFrames() {
  if (script_.deliverOnThread) {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return pending_.empty() && inDelivery_ == 0; });
    return 0;
  }
  const EncodedSample delta = sampleFor(false, avccOf({Bytes{0x41, 0x9A}}));
  while (auto next = takeNext()) output_(std::move(*next), 0, &delta);
  return 0;
}

void FakeSession::invalidate() {
  {
    std::lock_guard lock(mutex_);
    log_.invalidated = true;
    stopping_ = true;
  }
  wake_.notify_all();
  if (worker_.joinable()) worker_.join();
  while (auto next = takeNext()) output_(std::move(*next), -12903, nullptr);
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
