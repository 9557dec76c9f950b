#include "media/frame_stream.h"

namespace pelorin::media {

void appendFrameHeader(ByteBuffer& record, std::uint32_t payloadSize, std::uint64_t captureNanoseconds,
                       bool keyFrame) {
  record.insert(record.end(), frameMagic.begin(), frameMagic.end());
  appendLittleEndian(record, payloadSize);
  appendLittleEndian(record, captureNanoseconds);
  appendLittleEndian(record, keyFrame ? keyFrameFlag : std::uint32_t{0});
}

}  // namespace pelorin::media
