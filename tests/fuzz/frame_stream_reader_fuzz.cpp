// Any bytes as a frame stream read from a descriptor.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>

#include "fuzz_check.h"
#include "media/frame_stream_reader.h"

using namespace pelorin::media;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int fd = memfd_create("frame-stream-fuzz", 0);
  fuzzCheck(fd >= 0 && write(fd, data, size) == static_cast<ssize_t>(size) && lseek(fd, 0, SEEK_SET) == 0,
            "the input is in a memory file");
  FrameStreamReader reader(fd);
  for (std::uint64_t end = 0, lastCapture = 0;;) {
    auto record = reader.next();
    if (!record) {
      fuzzCheck(record.error().domain == "FrameStream" && end < size, "a fault is a stream error before the end");
      break;
    }
    if (!*record) {
      fuzzCheck(end == size && reader.bytesRead() == size, "a clean end only after the last byte");
      break;
    }
    const FrameRecord& r = **record;
    fuzzCheck(r.offset == end && r.captureNanoseconds >= lastCapture, "records in order, times never back");
    fuzzCheck(!payloadFault(r.payload, r.keyFrame), "an accepted payload is well formed");
    ByteBuffer again;
    appendFrameHeader(again, static_cast<std::uint32_t>(r.payload.size()), r.captureNanoseconds, r.keyFrame);
    again.insert(again.end(), r.payload.begin(), r.payload.end());
    fuzzCheck(end + again.size() <= size && std::equal(again.begin(), again.end(), data + end),
              "an accepted record written again gives its bytes");
    end += again.size();
    lastCapture = r.captureNanoseconds;
  }
  close(fd);
  return 0;
}
