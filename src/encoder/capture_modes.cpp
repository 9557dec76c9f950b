#include "encoder/capture_modes.h"

namespace pelorin::encoder {
namespace {

Error notAvailable(const std::string& what) {
  return Error{"Pelorin", -1, what + " is not available in this build"};
}

}  // namespace

Result<void> runSingleWordMode(const std::string& mode, EncoderServices&) {
  if (mode == "--list-sources") return notAvailable("source listing");
  return notAvailable("portion selection");
}

Result<void> runCaptureMode(const Arguments& arguments, EncoderServices&, MainQueue&) {
  return notAvailable(arguments.source + " capture");
}

}  // namespace pelorin::encoder
