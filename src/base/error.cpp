#include "base/error.h"

namespace pelorin {

std::string Error::description() const {
  if (!message.empty()) return message;
  return "The operation couldn\u2019t be completed. (" + domain + " error " + std::to_string(code) + ".)";
}

}  // namespace pelorin
