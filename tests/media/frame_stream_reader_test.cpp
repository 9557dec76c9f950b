#include "media/frame_stream_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/temp_file.h"

namespace pelorin::media {
namespace {

const ByteBuffer keyPayload{0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE, 0, 0, 0, 1, 0x65, 0x88};
const ByteBuffer deltaPayload{0, 0, 0, 1, 0x41, 0x9A};

ByteBuffer record(const ByteBuffer& payload, std::uint64_t capture, std::uint32_t flags) {
  ByteBuffer bytes;
  appendFrameHeader(bytes, static_cast<std::uint32_t>(payload.size()), capture, false);
  bytes.resize(bytes.size() - 4);
  appendLittleEndian(bytes, flags);
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  return bytes;
}

ByteBuffer concat(std::initializer_list<ByteBuffer> parts) {
  ByteBuffer all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// Reads a stream back from a file, record by record, until its end or its first fault.
std::vector<FrameRecord> readStream(const ByteBuffer& stream, std::optional<std::string>& fault) {
  test::CapturedFd file;
  EXPECT_EQ(::write(file.fd(), stream.data(), stream.size()), static_cast<ssize_t>(stream.size()));
  ::lseek(file.fd(), 0, SEEK_SET);
  FrameStreamReader reader(file.fd());
  std::vector<FrameRecord> records;
  for (auto next = reader.next();; next = reader.next()) {
    if (!next) fault = next.error().message;
    if (!next || !*next) return records;
    records.push_back(std::move(**next));
  }
}

TEST(FrameStreamReader, NamesTheOffsetAndReasonOfTheFirstFault) {
  const ByteBuffer good = record(keyPayload, 5, 1);
  ByteBuffer badMagic = record(deltaPayload, 6, 0), hugeLength = badMagic, truncated = badMagic;
  badMagic[0] = 'X';
  hugeLength[8] = 1, hugeLength[9] = 0, hugeLength[10] = 0, hugeLength[11] = 1;  // 16 MiB + 1
  truncated.pop_back();
  const std::tuple<ByteBuffer, std::string, bool> cases[] = {  // bad record, reason, only seen at the end
      {badMagic, "bad magic", false},
      {hugeLength, "payload length 16777217 out of range", false},
      {record(deltaPayload, 6, 2), "unknown flags 2", false},
      {record(deltaPayload, 4, 0), "capture time goes backwards", false},
      {record(ByteBuffer{0, 0, 1, 0x41, 0x9A}, 6, 0), "payload does not begin with a 4-byte start code", false},
      {record(deltaPayload, 6, 1), "key frame does not begin with SPS and PPS", false},
      {truncated, "truncated payload", true},
      {ByteBuffer(good.begin(), good.begin() + 10), "truncated header", true},
  };
  for (const auto& [bad, reason, atEnd] : cases) {
    std::optional<std::string> fault;
    EXPECT_EQ(readStream(atEnd ? concat({good, bad}) : concat({good, bad, good}), fault).size(), 1u) << reason;
    EXPECT_EQ(fault, "invalid record at offset " + std::to_string(good.size()) + ": " + reason);
  }
}

}  // namespace
}  // namespace pelorin::media
