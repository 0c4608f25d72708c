// The bridge's event loops: one io_context per core, each run by exactly one thread, each
// owning the registry of the sessions that live on it. A session, its sockets, resolver and
// timers stay on the worker that adopted them, so their handlers never hop between threads.
// Owned by LoopbackBridge.
#pragma once

#include "bridge/Asio.hpp"
#include "bridge/BridgeSession.hpp"
#include "bridge/ChunkPool.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/container_hash/hash.hpp>
#include <boost/uuid/uuid.hpp>

#include <cstddef>
#include <deque>
#include <memory>
#include <thread>
#include <unordered_map>

namespace quillfern {

class WorkerPool {
public:
  using Sessions = std::unordered_map<boost::uuids::uuid, std::shared_ptr<BridgeSession>,
                                      boost::hash<boost::uuids::uuid>>;

  struct Worker {
    // First, so that it outlives everything that may hold a chunk: sessions, and the handlers
    // the context destroys with itself.
    ChunkPool chunks;
    // Concurrency hint 1: one thread runs it, so Asio takes no locks of its own.
    asio::io_context io{1};
    asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
    Sessions sessions;  // only touched on this worker's thread, and after the threads are joined
    std::thread thread;
  };

  explicit WorkerPool(unsigned workerCount);
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  WorkerPool(WorkerPool&&) = delete;
  WorkerPool& operator=(WorkerPool&&) = delete;
  // Joins the threads, then drops every session, then destroys the contexts: a socket's
  // destructor talks to its own context's reactor, which must still exist.
  ~WorkerPool();

  [[nodiscard]] std::size_t size() const { return workers.size(); }
  [[nodiscard]] Worker& at(std::size_t index) { return workers[index]; }
  // The worker that takes the next accepted connection, in turn. Called on worker 0 only.
  [[nodiscard]] Worker& next();

  // Stops every context and joins the threads; handlers not yet run stay queued until the
  // pool is destroyed. Idempotent. Never call it from a worker thread.
  void stop();

private:
  std::deque<Worker> workers;  // a deque: workers never move once their thread runs
  std::size_t nextWorker = 0;

  static void run(asio::io_context& io);
};

}  // namespace quillfern
