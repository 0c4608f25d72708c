#include "bridge/WorkerPool.hpp"

#include "log/Log.hpp"

#include <exception>

namespace quillfern {

WorkerPool::WorkerPool(unsigned workerCount) {
  for (unsigned i = 0; i < workerCount; ++i) {
    Worker& worker = workers.emplace_back();
    // Asio creates a context's reactor (three descriptors) with its first socket. Done here, a
    // worker's first connection cannot fail for it while descriptors run short: the accept
    // would throw instead of reporting the shortage, and the listener would stop.
    const asio::ip::tcp::socket reactorOwner(worker.io);
    worker.thread = std::thread([&io = worker.io] { run(io); });
  }
}

WorkerPool::~WorkerPool() {
  stop();
  for (Worker& worker : workers) {
    worker.sessions.clear();
  }
}

WorkerPool::Worker& WorkerPool::next() {
  Worker& worker = workers[nextWorker];
  nextWorker = (nextWorker + 1) % workers.size();
  return worker;
}

void WorkerPool::stop() {
  for (Worker& worker : workers) {
    worker.work.reset();
    worker.io.stop();
  }
  for (Worker& worker : workers) {
    if (worker.thread.joinable()) {
      worker.thread.join();
    }
  }
}

void WorkerPool::run(asio::io_context& io) {
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
