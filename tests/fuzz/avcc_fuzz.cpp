// Samples into Annex-B payloads and records: units built from the input (Annex-B form known), or raw AVCC.
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_check.h"
#include "media/frame_stream.h"
#include "media/hardware_encoder.h"

using namespace pelorin;
using media::ByteBuffer;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider p(data, size);
  platform::EncodedSample sample;
  sample.notSync = p.ConsumeBool();
  const auto capture = p.ConsumeIntegral<std::uint64_t>();
  ByteBuffer payload;  // the payload the record must carry, when known
  const auto appendAnnexB = [&payload](const platform::Bytes& unit) {
    payload.insert(payload.end(), media::startCode.begin(), media::startCode.end());
    payload.insert(payload.end(), unit.begin(), unit.end());
  };
  for (int i = p.ConsumeIntegralInRange(0, 3); i > 0; --i) {
    auto& set = sample.parameterSets.emplace_back();
    if (!p.ConsumeBool()) set = p.ConsumeBytes<std::uint8_t>(p.ConsumeIntegralInRange(0, 8));
    if (!sample.notSync && sample.parameterSets.size() <= 2 && set && !set->empty()) appendAnnexB(*set);
  }
  const std::size_t parameterBytes = payload.size();

  platform::Bytes avcc;
  const bool known = p.ConsumeBool();
  if (known) {
    for (int i = p.ConsumeIntegralInRange(0, 4); i > 0; --i) {
      const auto unit = p.ConsumeBytes<std::uint8_t>(p.ConsumeIntegralInRange(1, 64));
      if (unit.empty()) continue;  // the input ran out
      const auto n = static_cast<std::uint32_t>(unit.size());
      avcc.insert(avcc.end(), {std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8), std::uint8_t(n)});
      avcc.insert(avcc.end(), unit.begin(), unit.end());
      appendAnnexB(unit);
    }
    const auto leftover = p.ConsumeBytes<std::uint8_t>(p.ConsumeIntegralInRange(0, 3));
    avcc.insert(avcc.end(), leftover.begin(), leftover.end());
  } else {
    avcc = p.ConsumeRemainingBytes<std::uint8_t>();
  }

  ByteBuffer converted;
  const Result<void> conversion = media::appendAnnexBFromAvcc(avcc, converted);
  if (known) {
    fuzzCheck(conversion && converted == ByteBuffer(payload.begin() + parameterBytes, payload.end()),
              "well-formed units become start code and unit, leftover bytes dropped");
  } else if (conversion) {
    // Start codes take the lengths' places: at most the one to three leftover bytes are lost.
    fuzzCheck(converted.size() <= avcc.size() && converted.size() + 3 >= avcc.size(), "Annex-B as long as AVCC");
  }

  sample.dataBlock = std::move(avcc);
  const Result<ByteBuffer> record = media::makeFrameRecord(sample, capture);
  fuzzCheck(record.ok() == (conversion && parameterBytes + converted.size() > 0),
            "a record exactly when the block converts and the payload is not empty");
  if (!record) return 0;
  ByteBuffer expected;
  media::appendFrameHeader(expected, static_cast<std::uint32_t>(parameterBytes + converted.size()), capture,
                           !sample.notSync);
  expected.insert(expected.end(), payload.begin(), payload.begin() + parameterBytes);
  expected.insert(expected.end(), converted.begin(), converted.end());
  fuzzCheck(*record == expected, "header, parameter sets of a key frame, then the frame's units");
  return 0;
}
