#include "platform/ffmpeg/sample_assembler.h"

namespace pelorin::platform::ffmpeg {

bool markConstrainedBaseline(UnitBytes& sps) {
  constexpr std::uint8_t baseline = 66, constraintSet1 = 0x40;
  if (sps.size() < 4 || nalType(sps) != nal::sps || sps[1] != baseline || sps[3] == 0) return false;
  sps[2] |= constraintSet1;
  return true;
}

void SampleAssembler::keep(std::optional<UnitBytes> sps, std::optional<UnitBytes> pps) {
  if (sps) {
    if (constrainedBaseline_) markConstrainedBaseline(*sps);
    sps_ = std::move(sps);
  }
  if (pps) pps_ = std::move(pps);
}

void SampleAssembler::takeExtradata(ByteSpan extradata) {
  auto sets = parameterSetsFromExtradata(extradata);
  if (sets) keep(std::move(sets->sps), std::move(sets->pps));  // else in-band sets still come
}

Result<std::optional<EncodedSample>> SampleAssembler::assemble(ByteSpan packet, bool keyFrame) {
  auto split = splitEncodedPacket(packet);
  if (!split) return split.error();
  keep(std::move(split->sps), std::move(split->pps));
  if (split->dataBlock.empty()) return std::optional<EncodedSample>();
  if (keyFrame && (!sps_ || !pps_)) return Error{"H264", -1, "key frame without SPS and PPS"};
  EncodedSample sample;
  sample.notSync = !keyFrame;
  sample.parameterSets = {sps_, pps_};
  sample.dataBlock = std::move(split->dataBlock);
  return std::optional<EncodedSample>(std::move(sample));
}

}  // namespace pelorin::platform::ffmpeg
