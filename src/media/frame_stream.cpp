#include "media/frame_stream.h"

namespace pelorin::media {

const ByteBuffer& frameMagic() {
  static const ByteBuffer magic{'P', 'L', 'N', 'H', '2', '6', '4', '1'};
  return magic;
}

void appendFrameHeader(ByteBuffer& record, std::uint32_t payloadSize, std::uint64_t captureNanoseconds,
                       bool keyFrame) {
  const ByteBuffer& magic = frameMagic();
  record.insert(record.end(), magic.begin(), magic.end());
  appendLittleEndian(record, payloadSize);
  appendLittleEndian(record, captureNanoseconds);
  appendLittleEndian(record, keyFrame ? keyFrameFlag : std::uint32_t{0});
}

}  // namespace pelorin::media
