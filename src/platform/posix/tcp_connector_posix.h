#pragma once

#include <map>
#include <memory>
#include <thread>

#include "base/thread_annotations.h"
#include "platform/tcp_connector.h"

namespace pelorin::platform::posix {

// Non-blocking sockets watched by one thread, which the connector owns and ends when destroyed.
class TcpConnectorPosix final : public TcpConnector {
 public:
  TcpConnectorPosix();
  ~TcpConnectorPosix() override;

  std::uint64_t connect(const std::string& host, std::uint16_t port, Done done) override;
  void cancel(std::uint64_t id) override;

 private:
  struct Attempt {
    int fd = -1;  // the socket, or -errno when it failed at once
    Done done;
  };
  void run();
  void wake();
  // Reports a settled attempt (a socket that polled ready, or one that failed at once).
  void finish(std::uint64_t id);

  Mutex mutex_;
  Mutex deliveryMutex_;  // held while a `done` runs, so cancel() can wait it out
  std::map<std::uint64_t, Attempt> attempts_ GUARDED_BY(mutex_);
  std::uint64_t nextId_ GUARDED_BY(mutex_) = 1;
  bool stopping_ GUARDED_BY(mutex_) = false;
  int wakeFd_ = -1;
  std::thread thread_;
};

}  // namespace pelorin::platform::posix
