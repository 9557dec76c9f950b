#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace pelorin::media {

using ByteBuffer = std::vector<std::uint8_t>;

constexpr std::size_t frameHeaderSize = 24;
constexpr std::uint32_t maxFramePayload = 16777216;
constexpr std::uint32_t keyFrameFlag = 1;

// The 8 bytes at the head of every record.
constexpr std::array<std::uint8_t, 8> frameMagic{'P', 'L', 'N', 'H', '2', '6', '4', '1'};

// Appends the integer's bytes, least significant first, exactly sizeof(T) of them.
template <std::integral T>
void appendLittleEndian(ByteBuffer& buffer, T value) {
  using U = std::make_unsigned_t<T>;
  auto bits = static_cast<U>(value);
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    buffer.push_back(static_cast<std::uint8_t>(bits & 0xFF));
    if constexpr (sizeof(T) > 1) bits = static_cast<U>(bits >> 8);
  }
}

// Appends the 24-byte record header for a payload of `payloadSize` bytes.
void appendFrameHeader(ByteBuffer& record, std::uint32_t payloadSize, std::uint64_t captureNanoseconds,
                       bool keyFrame);

// The 4-byte Annex-B start code.
constexpr std::array<std::uint8_t, 4> startCode{0, 0, 0, 1};

}  // namespace pelorin::media
