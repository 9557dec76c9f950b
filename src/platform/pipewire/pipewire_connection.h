#pragma once

// Internal to the PipeWire backend: one connection to the remote the portal opened, a stream on
// its screen-cast node, and the thread loop that runs both. The loop belongs to the connection
// and ends with it.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "base/error.h"
#include "platform/pipewire/frame_assembler.h"

namespace pelorin::platform::pipewire {

struct ConnectionHandlers {
  // On the loop thread, each picture in order. Its buffer is kept from PipeWire until the next
  // picture or `forget`. A failure ends the stream as `ended` tells.
  std::function<Result<void>(const ReceivedBuffer&)> picture;
  // On the loop thread: PipeWire took back the last picture's buffer.
  std::function<void()> forget;
  // On the loop thread, once, when the stream ends on its own (the node went away, the remote
  // failed); nothing more comes after it.
  std::function<void(const Error&)> ended;
};

class PipeWireConnection {
 public:
  // Connects through `remoteFd` (always taken over), asks `nodeId` for BGRx/BGRA pictures in
  // shared memory at most `maximumFps` a second, and waits until the stream runs.
  static Result<std::unique_ptr<PipeWireConnection>> open(int remoteFd, std::uint32_t nodeId, int maximumFps,
                                                          ConnectionHandlers handlers);
  // Disconnects and ends the loop thread; never call it on that thread.
  ~PipeWireConnection();
  PipeWireConnection(const PipeWireConnection&) = delete;
  PipeWireConnection& operator=(const PipeWireConnection&) = delete;

  // Runs `work` with the loop locked: no handler or tick runs meanwhile.
  void locked(const std::function<void()>& work);
  // From now on calls `tick` on the loop thread every `interval`, in place of an earlier tick.
  void setTicks(std::chrono::nanoseconds interval, std::function<void()> tick);
  bool onLoopThread() const;

  struct State;

 private:
  explicit PipeWireConnection(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace pelorin::platform::pipewire
