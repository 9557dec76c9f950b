#pragma once

namespace pelorin {

// An eventfd that cuts a thread's wait for input short, so that its owner can end and join it
// even while the input stays open (a host may keep standard input open for ever).
class Wakeup {
 public:
  Wakeup();
  ~Wakeup();
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;

  // Every wait from now on returns woken.
  void wake();

  enum class Waited { input, woken, timedOut };
  // Waits until `fd` can be read (data, its end or a failure), wake() is called, or
  // `timeoutMilliseconds` pass (-1: no limit).
  Waited waitForInput(int fd, int timeoutMilliseconds = -1) const;

 private:
  const int fd_;
};

}  // namespace pelorin
