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

 private:
  void stop();

  pid_t pid_ = -1;
};

}  // namespace pelorin::bench
