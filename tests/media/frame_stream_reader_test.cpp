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
struct ReadBack {
  std::vector<FrameRecord> records;
  std::optional<std::string> fault;
};

ReadBack readStream(const ByteBuffer& stream) {
  test::CapturedFd file;
  EXPECT_EQ(::write(file.fd(), stream.data(), stream.size()), static_cast<ssize_t>(stream.size()));
  ::lseek(file.fd(), 0, SEEK_SET);
  FrameStreamReader reader(file.fd());
  ReadBack out;
  for (;;) {
    auto next = reader.next();
    if (!next) {
      out.fault = next.error().message;
      return out;
    }
    if (!*next) return out;
    out.records.push_back(std::move(**next));
  }
}

TEST(FrameStreamReader, ReadsWellFormedRecordsWithTheirOffsets) {
  const ByteBuffer first = record(keyPayload, 1000, 1);
  ByteBuffer large = deltaPayload;  // read in more than one piece
  large.resize(300000, 0x5A);
  // Start codes after the first may have three bytes.
  const ByteBuffer shortCodes{0, 0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x68, 0xCE, 0, 0, 1, 0x65, 0x88};
  const auto back = readStream(
      concat({first, record(deltaPayload, 1000, 0), record(large, 2000, 0), record(shortCodes, 2000, 1)}));
  ASSERT_FALSE(back.fault) << *back.fault;
  ASSERT_EQ(back.records.size(), 4u);
  EXPECT_EQ(back.records[0].payload, keyPayload);
  EXPECT_TRUE(back.records[0].keyFrame);
  EXPECT_EQ(back.records[1].offset, first.size());
  EXPECT_FALSE(back.records[1].keyFrame);
  EXPECT_EQ(back.records[2].payload, large);
  EXPECT_EQ(back.records[2].captureNanoseconds, 2000u);
  EXPECT_TRUE(back.records[3].keyFrame);
  const auto empty = readStream({});
  EXPECT_TRUE(empty.records.empty());
  EXPECT_FALSE(empty.fault);
}

TEST(FrameStreamReader, NamesTheOffsetAndReasonOfTheFirstFault) {
  const ByteBuffer good = record(keyPayload, 5, 1);
  ByteBuffer badMagic = record(deltaPayload, 6, 0);
  badMagic[0] = 'X';
  ByteBuffer zeroLength = record(deltaPayload, 6, 0);
  zeroLength.resize(frameHeaderSize);
  zeroLength[8] = 0;
  ByteBuffer hugeLength = record(deltaPayload, 6, 0);
  hugeLength[8] = 1, hugeLength[9] = 0, hugeLength[10] = 0, hugeLength[11] = 1;  // 16 MiB + 1
  ByteBuffer truncated = record(deltaPayload, 6, 0);
  truncated.pop_back();
  ByteBuffer claimsMore = record(ByteBuffer(200000, 0x5A), 6, 0);
  claimsMore[8] = 0, claimsMore[9] = 0, claimsMore[10] = 0, claimsMore[11] = 1;  // 16 MiB

  struct Case {
    ByteBuffer bad;
    std::string reason;
    bool atEnd = false;  // a truncation can only be seen at the end of the stream
  };
  const Case cases[] = {
      {badMagic, "bad magic"},
      {zeroLength, "payload length 0 out of range"},
      {hugeLength, "payload length 16777217 out of range"},
      {record(deltaPayload, 6, 2), "unknown flags 2"},
      {record(deltaPayload, 4, 0), "capture time goes backwards"},
      {record(ByteBuffer{0, 0, 1, 0x41, 0x9A}, 6, 0), "payload does not begin with a 4-byte start code"},
      {record(deltaPayload, 6, 1), "key frame does not begin with SPS and PPS"},
      {truncated, "truncated payload", true},
      {claimsMore, "truncated payload", true},
      {ByteBuffer(good.begin(), good.begin() + 10), "truncated header", true},
  };
  for (const auto& [bad, reason, atEnd] : cases) {
    const auto back = readStream(atEnd ? concat({good, bad}) : concat({good, bad, good}));
    ASSERT_TRUE(back.fault) << reason;
    EXPECT_EQ(*back.fault, "invalid record at offset " + std::to_string(good.size()) + ": " + reason);
    EXPECT_EQ(back.records.size(), 1u) << reason;
  }
}

}  // namespace
}  // namespace pelorin::media
