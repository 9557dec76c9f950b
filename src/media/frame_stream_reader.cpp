#include "media/frame_stream_reader.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "base/h264_nal.h"

namespace pelorin::media {
namespace {

template <class T>
T readLittleEndian(const std::uint8_t* bytes) {
  T value = 0;
  for (std::size_t i = sizeof(T); i-- > 0;) value = static_cast<T>((value << 8) | bytes[i]);
  return value;
}

Error streamError(std::uint64_t offset, const std::string& reason) {
  return Error{"FrameStream", -1, "invalid record at offset " + std::to_string(offset) + ": " + reason};
}

}  // namespace

std::optional<std::string> payloadFault(const ByteBuffer& payload, bool keyFrame) {
  if (payload.size() < startCode.size() || !std::equal(startCode.begin(), startCode.end(), payload.begin())) {
    return "payload does not begin with a 4-byte start code";
  }
  const std::vector<ByteSpan> units = splitAnnexB(payload);
  if (units.empty()) return "payload holds no NAL unit";
  if (keyFrame && (units.size() < 3 || nalType(units[0]) != nal::sps || nalType(units[1]) != nal::pps)) {
    return "key frame does not begin with SPS and PPS";
  }
  return std::nullopt;
}

Result<std::size_t> FrameStreamReader::readFully(std::uint8_t* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd_, data + done, size - done);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error{"POSIX", errno, std::string("read failed: ") + std::strerror(errno)};
    }
    done += static_cast<std::size_t>(n);
  }
  return done;
}

Result<std::optional<FrameRecord>> FrameStreamReader::next() {
  FrameRecord record;
  record.offset = offset_;
  std::array<std::uint8_t, frameHeaderSize> header{};
  auto got = readFully(header.data(), header.size());
  if (!got) return got.error();
  offset_ += *got;
  if (*got == 0) return std::optional<FrameRecord>{};
  if (*got < header.size()) return streamError(record.offset, "truncated header");

  if (!std::equal(frameMagic.begin(), frameMagic.end(), header.begin())) return streamError(record.offset, "bad magic");
  const auto length = readLittleEndian<std::uint32_t>(header.data() + 8);
  record.captureNanoseconds = readLittleEndian<std::uint64_t>(header.data() + 12);
  const auto flags = readLittleEndian<std::uint32_t>(header.data() + 20);
  if (length == 0 || length > maxFramePayload) {
    return streamError(record.offset, "payload length " + std::to_string(length) + " out of range");
  }
  if ((flags & ~keyFrameFlag) != 0) return streamError(record.offset, "unknown flags " + std::to_string(flags));
  record.keyFrame = (flags & keyFrameFlag) != 0;

  // The payload grows with the bytes that arrive: a header claiming more than the stream holds
  // costs no more memory than the stream.
  constexpr std::size_t chunkBytes = 1 << 16;
  while (record.payload.size() < length) {
    const std::size_t had = record.payload.size();
    record.payload.resize(std::min<std::size_t>(length, had + chunkBytes));
    got = readFully(record.payload.data() + had, record.payload.size() - had);
    if (!got) return got.error();
    offset_ += *got;
    if (had + *got < record.payload.size()) return streamError(record.offset, "truncated payload");
  }
  if (auto fault = payloadFault(record.payload, record.keyFrame)) return streamError(record.offset, *fault);
  if (lastCapture_ && record.captureNanoseconds < *lastCapture_) {
    return streamError(record.offset, "capture time goes backwards");
  }
  lastCapture_ = record.captureNanoseconds;
  return std::optional<FrameRecord>{std::move(record)};
}

}  // namespace pelorin::media
