#pragma once

#include <string>

#include "base/error.h"
#include "encoder/arguments.h"
#include "encoder/native_encoder.h"

namespace pelorin::encoder {

// "--select-portion" or "--list-sources".
Result<void> runSingleWordMode(const std::string& mode, EncoderServices& services);

// Creates the run's encoder on the output and captures the arguments' portion, with the live frame
// when the services can show it.
Result<void> runPortionMode(const Arguments& arguments, EncoderServices& services);

// Creates the run's encoder on the output and runs the capture mode that `source` names.
Result<void> runCaptureMode(const Arguments& arguments, EncoderServices& services);

}  // namespace pelorin::encoder
