#pragma once

#include "base/wakeup.h"
#include "platform/content_chooser.h"

namespace pelorin::platform::portal {

// The ScreenCast portal's chooser, one source at a time, with no restore token asked for or
// used: the stored permission of pelorin-encoder stays untouched.
class PortalContentChooser final : public ContentChooser {
 public:
  Result<std::optional<ChosenContent>> choose(bool offerWindows) override;
  void abandon() override { abandon_.wake(); }

 private:
  Wakeup abandon_;
};

}  // namespace pelorin::platform::portal
