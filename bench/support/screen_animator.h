#pragma once

#include <sys/types.h>

#include <string>

namespace pelorin::bench {

// A child process that keeps changing one area of the screen about 60 times a second, so a
// capture of that area always has something new. Being another process, its CPU never shows in
// the benchmark's own rusage.
class ScreenAnimator {
 public:
  enum class Motion {
    Everything,  // a window over the area, repainted whole or in scattered rectangles
    Scrolling,   // a window over the area whose picture moves up, a new strip coming in below
    Pointer,     // the pointer moving across the area, no window
  };

  // Forks, so call it before the benchmark starts any thread. Returns once the window is shown on
  // the X display named (empty: $DISPLAY); a failed start leaves running() false.
  ScreenAnimator(int x, int y, int width, int height, Motion motion = Motion::Everything,
                 const std::string& display = {});
  ~ScreenAnimator();
  ScreenAnimator(const ScreenAnimator&) = delete;
  ScreenAnimator& operator=(const ScreenAnimator&) = delete;

  bool running() const { return pid_ > 0; }
  // The animated window (override-redirect, at the area given), for capturing it alone.
  unsigned long window() const { return window_; }
  // Stops and continues the changes (the child is stopped by a signal; its window stays).
  void pause();
  void resume();

 private:
  void stop();

  pid_t pid_ = -1;
  unsigned long window_ = 0;
};

}  // namespace pelorin::bench
