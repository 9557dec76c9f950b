#include "platform/stream_outputs.h"

namespace pelorin::platform {

bool StreamOutputs::add(std::shared_ptr<StreamOutput> output, StreamOutputType type,
                        std::shared_ptr<SerialQueue> queue) {
  if (!output || !queue) return false;
  MutexLock lock(mutex_);
  entries_.push_back({std::move(output), type, std::move(queue)});
  return true;
}

void StreamOutputs::deliver(const SampleBuffer& sample) const {
  std::vector<Entry> entries;
  {
    MutexLock lock(mutex_);
    entries = entries_;
  }
  for (const Entry& entry : entries) {
    if (entry.type != StreamOutputType::Screen) continue;
    entry.queue->post([output = entry.output, sample] { output->didOutputSample(sample, StreamOutputType::Screen); });
  }
}

SampleBuffer idleSample(double presentationSeconds) {
  SampleBuffer sample;
  sample.presentationSeconds = presentationSeconds;
  sample.attachments.emplace().status = FrameStatus::Idle;
  return sample;
}

}  // namespace pelorin::platform
