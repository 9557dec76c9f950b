#include "platform/pipewire/pipewire_stream.h"

#include <unistd.h>

#include <pipewire/pipewire.h>

namespace pelorin::platform::pipewire {
namespace {

Error notYet() { return Error{"PipeWire", -1, "PipeWire capture is not built yet"}; }

}  // namespace

// Placeholder so the seam links while the stream is written; both calls fail honestly.
Result<std::unique_ptr<CaptureStream>> makePipeWireStream(PipeWireSource source, const ContentFilter&,
                                                          const StreamConfiguration&, StreamDelegate*) {
  if (source.remoteFd >= 0) ::close(source.remoteFd);
  return notYet();
}

Result<Image> grabPipeWireImage(PipeWireSource source, const ScreenshotConfiguration&, std::chrono::milliseconds) {
  if (source.remoteFd >= 0) ::close(source.remoteFd);
  pw_init(nullptr, nullptr);
  return notYet();
}

}  // namespace pelorin::platform::pipewire
