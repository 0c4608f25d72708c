// The in-process server on 127.0.0.1:9882 that the game page talks to: one listener, a
// registry of sessions keyed by UUID per worker, and the counters they share. Owned by its
// creator; start(), stop() and isRunning() are called from the main thread. The listener and
// its callbacks live on worker 0; each worker's registry lives on that worker.
#pragma once

#include "bridge/Asio.hpp"
#include "bridge/BridgeMetrics.hpp"
#include "bridge/BridgeSession.hpp"
#include "bridge/WorkerPool.hpp"

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <future>
#include <memory>
#include <optional>

namespace quillfern {

class HostAllowlist;

class LoopbackBridge {
public:
  // The bridge's port, also named by the health document, the fallback page and the origins.
  static constexpr std::uint16_t port = 9882;

  explicit LoopbackBridge(std::shared_ptr<HostAllowlist> hostAllowlist);
  // For tests: listens on listenPort instead (0: any free port). What the bridge shows to the
  // page still names `port`.
  LoopbackBridge(std::shared_ptr<HostAllowlist> hostAllowlist, std::uint16_t listenPort);
  LoopbackBridge(const LoopbackBridge&) = delete;
  LoopbackBridge& operator=(const LoopbackBridge&) = delete;
  LoopbackBridge(LoopbackBridge&&) = delete;
  LoopbackBridge& operator=(LoopbackBridge&&) = delete;
  // Stops the bridge if it still listens or holds sessions, then joins its threads.
  ~LoopbackBridge();

  // Opens the listener; does nothing while one exists, even a failed one. Throws
  // boost::system::system_error when the address cannot be bound or listened on.
  void start();
  // Closes the listener and every session, clears `running` and logs "已停止". Blocks until
  // every worker has done this; never call it from a bridge thread.
  void stop();
  [[nodiscard]] bool isRunning() const;
  // The port actually bound, or 0 before the first successful start().
  [[nodiscard]] std::uint16_t listeningPort() const;

  // For tests and diagnostics.
  [[nodiscard]] BridgeMetrics::Snapshot metricsSnapshot() const;
  [[nodiscard]] std::size_t sessionCount();  // waits for every worker
  // For tests: the remote connect time-out of sessions accepted afterwards (10 s by default).
  void setConnectTimeout(std::chrono::steady_clock::duration timeout);
  // For tests: how long sessions accepted afterwards may take to send their request head
  // (30 s by default).
  void setRequestTimeout(std::chrono::steady_clock::duration timeout);

private:
  using Worker = WorkerPool::Worker;

  const std::shared_ptr<HostAllowlist> allowlist;
  const std::shared_ptr<BridgeMetrics> metrics;
  const std::uint16_t requestedPort;
  std::atomic<std::uint16_t> boundPort{0};
  BridgeSession::Settings sessionSettings;        // on worker 0
  boost::uuids::random_generator newSessionId{};  // on worker 0
  // The pool outlives everything below that runs on it: its destructor joins the threads.
  WorkerPool pool;
  const SessionExecutor listenerExecutor;  // worker 0's
  std::optional<asio::ip::tcp::acceptor> listener;
  asio::steady_timer acceptPause;  // waits out a shortage of descriptors before accepting again
  // On worker 0: the pause before the next try while accepts fail for lack of descriptors or
  // memory; nothing while they succeed.
  std::optional<std::chrono::milliseconds> acceptPauseLength;

  // Posts task to the worker; the future holds its end, or the exception it threw.
  template <class Task>
  static std::future<void> post(Worker& worker, std::promise<void>& done, Task task);
  // Runs fn on the worker and waits for it.
  template <class Fn>
  static void runOn(Worker& worker, Fn fn);
  // Runs fn(worker) on every worker, all at once, and waits for all of them.
  template <class Fn>
  void runOnEach(Fn fn);

  [[nodiscard]] boost::system::error_code openListener();
  // Closes the listener; true when one was open. On worker 0.
  bool closeListener();
  // Closes every session of every worker and waits for the workers to have done so.
  void closeSessions();
  void acceptNext();
  void onAccepted(const boost::system::error_code& error, Worker& worker, SessionSocket socket);
  void onAcceptError(const boost::system::error_code& error);
  // On the session's worker, which owns it from now on.
  void adopt(Worker& worker, boost::uuids::uuid id, SessionSocket socket,
             BridgeSession::Settings settings);
};

}  // namespace quillfern
