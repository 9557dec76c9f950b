#pragma once

#include <filesystem>
#include <string>

#include "base/error.h"

namespace pelorin::app {

// The sender executable and the certificate authority file it is given.
struct SenderFiles {
  std::string sender;
  std::string certificateAuthority;
};

// Relative to the app's own executable <dir>/Pelorin: the sender <dir>/pelorin ($PELORIN_SENDER
// instead when set, for development) and <dir>/../share/pelorin/VantrelCA.pem, the same layout in
// the build tree (build/bin, build/share/pelorin) and once installed (<prefix>/bin,
// <prefix>/share/pelorin). Fails with "ressources de l’app absentes" when the executable's place
// is unknown or the file is missing; the sender itself is not checked here.
Result<SenderFiles> locateSenderFiles();
Result<SenderFiles> senderFilesBeside(const std::filesystem::path& executable);

}  // namespace pelorin::app
