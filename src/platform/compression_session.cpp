#include "platform/compression_session.h"

namespace pelorin::platform {

const char* propertyKeyName(CompressionProperty key) {
  switch (key) {
    case CompressionProperty::RealTime: return "RealTime";
    case CompressionProperty::AllowFrameReordering: return "AllowFrameReordering";
    case CompressionProperty::ProfileLevel: return "ProfileLevel";
    case CompressionProperty::H264EntropyMode: return "H264EntropyMode";
    case CompressionProperty::ExpectedFrameRate: return "ExpectedFrameRate";
    case CompressionProperty::AverageBitRate: return "AverageBitRate";
    case CompressionProperty::MaxKeyFrameInterval: return "MaxKeyFrameInterval";
    case CompressionProperty::MaxKeyFrameIntervalDuration: return "MaxKeyFrameIntervalDuration";
    case CompressionProperty::DataRateLimits: return "DataRateLimits";
    case CompressionProperty::UsingHardwareAcceleratedVideoEncoder:
      return "UsingHardwareAcceleratedVideoEncoder";
  }
  return "";
}

}  // namespace pelorin::platform
