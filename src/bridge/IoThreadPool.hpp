// The bridge's io_context and the threads that run it, one per core. Owned by LoopbackBridge;
// the destructor stops the context and joins every thread, so this object outlives every
// handler that runs on it.
#pragma once

#include "bridge/Asio.hpp"

#include <boost/asio/executor_work_guard.hpp>

#include <thread>
#include <vector>

namespace quillfern {

class IoThreadPool {
public:
  explicit IoThreadPool(unsigned threadCount);
  IoThreadPool(const IoThreadPool&) = delete;
  IoThreadPool& operator=(const IoThreadPool&) = delete;
  IoThreadPool(IoThreadPool&&) = delete;
  IoThreadPool& operator=(IoThreadPool&&) = delete;
  ~IoThreadPool();

  [[nodiscard]] asio::io_context& context() { return io; }

  // Stops the context and joins the threads; handlers not yet run are destroyed with the
  // context. Idempotent. Never call it from a pool thread.
  void stop();

private:
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work;
  std::vector<std::thread> threads;

  void run();
};

}  // namespace quillfern
