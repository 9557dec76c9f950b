#pragma once

#include <optional>

#include "base/error.h"
#include "platform/compression_session.h"
#include "platform/ffmpeg/h264_units.h"

namespace pelorin::platform::ffmpeg {

// Sets constraint_set1 in a Baseline (profile_idc 66) SPS; false when `sps` is no such SPS.
// Safe on the escaped bytes: profile_idc and a non-zero level_idc frame the flags byte, so no
// emulation-prevention byte can appear or vanish.
bool markConstrainedBaseline(UnitBytes& sps);

// Turns encoder packets into samples, keeping the latest SPS and PPS for key frames.
class SampleAssembler {
 public:
  // `constrainedBaseline`: the session claims constrained baseline, so its SPS must say so.
  explicit SampleAssembler(bool constrainedBaseline = false) : constrainedBaseline_(constrainedBaseline) {}

  // Parameter sets the encoder put in its extradata.
  void takeExtradata(ByteSpan extradata);
  // The frame in `packet`, key frames with the latest SPS and PPS; nothing for a packet that
  // held parameter sets only. A key frame before any SPS and PPS is an error.
  Result<std::optional<EncodedSample>> assemble(ByteSpan packet, bool keyFrame);

 private:
  void keep(std::optional<UnitBytes> sps, std::optional<UnitBytes> pps);

  bool constrainedBaseline_;
  std::optional<UnitBytes> sps_;
  std::optional<UnitBytes> pps_;
};

}  // namespace pelorin::platform::ffmpeg
