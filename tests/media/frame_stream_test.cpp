#include "media/frame_stream.h"

#include <gtest/gtest.h>

namespace pelorin::media {
namespace {

TEST(AppendLittleEndian, WritesExactlyTheTypeWidthLeastSignificantFirst) {
  ByteBuffer b;
  appendLittleEndian(b, std::uint32_t{0x01020304});
  EXPECT_EQ(b, (ByteBuffer{4, 3, 2, 1}));
  b.clear();
  appendLittleEndian(b, std::uint64_t{0x0102030405060708});
  EXPECT_EQ(b, (ByteBuffer{8, 7, 6, 5, 4, 3, 2, 1}));
  b.clear();
  appendLittleEndian(b, std::int16_t{-2});
  EXPECT_EQ(b, (ByteBuffer{0xFE, 0xFF}));
  b.clear();
  appendLittleEndian(b, std::uint8_t{0xAB});
  EXPECT_EQ(b, (ByteBuffer{0xAB}));
}

TEST(FrameHeader, HasMagicLengthTimeAndFlags) {
  ByteBuffer record;
  appendFrameHeader(record, 1, 0x1122334455667788ull, true);
  record.push_back(0x65);
  ASSERT_EQ(record.size(), 25u);
  EXPECT_EQ(std::string(record.begin(), record.begin() + 8), "PLNH2641");
  EXPECT_EQ(ByteBuffer(record.begin() + 8, record.begin() + 12), (ByteBuffer{1, 0, 0, 0}));
  EXPECT_EQ(ByteBuffer(record.begin() + 12, record.begin() + 20),
            (ByteBuffer{0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}));
  EXPECT_EQ(ByteBuffer(record.begin() + 20, record.begin() + 24), (ByteBuffer{1, 0, 0, 0}));

  ByteBuffer delta;
  appendFrameHeader(delta, maxFramePayload, 0, false);
  EXPECT_EQ(ByteBuffer(delta.begin() + 8, delta.begin() + 12), (ByteBuffer{0, 0, 0, 1}));
  EXPECT_EQ(ByteBuffer(delta.begin() + 20, delta.begin() + 24), (ByteBuffer{0, 0, 0, 0}));
}

TEST(FrameMagic, IsOneSharedConstant) {
  EXPECT_EQ(&frameMagic(), &frameMagic());
  EXPECT_EQ(frameMagic().size(), 8u);
}

}  // namespace
}  // namespace pelorin::media
