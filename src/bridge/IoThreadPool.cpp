#include "bridge/IoThreadPool.hpp"

#include "log/Log.hpp"

#include <exception>

namespace quillfern {

IoThreadPool::IoThreadPool(unsigned threadCount)
    : io(static_cast<int>(threadCount)), work(io.get_executor()) {
  threads.reserve(threadCount);
  for (unsigned i = 0; i < threadCount; ++i) {
    threads.emplace_back([this] { run(); });
  }
}

IoThreadPool::~IoThreadPool() {
  stop();
}

void IoThreadPool::stop() {
  work.reset();
  io.stop();
  for (std::thread& thread : threads) {
    if (thread.joinable()) {
      thread.join();
    }
  }
}

void IoThreadPool::run() {
  while (true) {
    try {
      io.run();
      return;  // the context was stopped
    } catch (const std::exception& e) {
      log(LogTag::bridge, e.what());  // a bug got through; keep serving the other sessions
    }
  }
}

}  // namespace quillfern
