#pragma once

namespace pelorin::platform {

// Whether this process may capture the screen.
class CaptureAccess {
 public:
  virtual ~CaptureAccess() = default;
  // Answers without asking the user.
  virtual bool preflight() = 0;
  // Asks the user where the platform has a prompt, then answers.
  virtual bool request() = 0;
};

}  // namespace pelorin::platform
