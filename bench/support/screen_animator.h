#pragma once

#include <sys/types.h>

namespace pelorin::bench {

// A child process that keeps repainting a window over one area of the screen, about 60 times a
// second, so a capture of that area always has new pixels. Being another process, its CPU never
// shows in the benchmark's own rusage.
class ScreenAnimator {
 public:
  // Forks, so call it before the benchmark starts any thread. Returns once the window is shown;
  // a failed start leaves running() false.
  ScreenAnimator(int x, int y, int width, int height);
  ~ScreenAnimator();
  ScreenAnimator(const ScreenAnimator&) = delete;
  ScreenAnimator& operator=(const ScreenAnimator&) = delete;

  bool running() const { return pid_ > 0; }
  // The animated window (override-redirect, at the area given), for capturing it alone.
  unsigned long window() const { return window_; }

 private:
  void stop();

  pid_t pid_ = -1;
  unsigned long window_ = 0;
};

}  // namespace pelorin::bench
