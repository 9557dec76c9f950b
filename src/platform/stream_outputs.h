#pragma once

// What every capture backend does with its samples: the outputs added to a stream and the
// hand-over of each sample to them on their queues.

#include <memory>
#include <vector>

#include "base/serial_queue.h"
#include "base/thread_annotations.h"
#include "platform/screen_capture.h"

namespace pelorin::platform {

class StreamOutputs {
 public:
  // False when the output or its queue is missing.
  bool add(std::shared_ptr<StreamOutput> output, StreamOutputType type, std::shared_ptr<SerialQueue> queue);
  // Posts the sample to every screen output; callable from any thread.
  void deliver(const SampleBuffer& sample) const;

 private:
  struct Entry {
    std::shared_ptr<StreamOutput> output;
    StreamOutputType type;
    std::shared_ptr<SerialQueue> queue;
  };
  mutable Mutex mutex_;
  std::vector<Entry> entries_ GUARDED_BY(mutex_);
};

// A sample that says nothing changed since the last complete one.
SampleBuffer idleSample(double presentationSeconds);

}  // namespace pelorin::platform
