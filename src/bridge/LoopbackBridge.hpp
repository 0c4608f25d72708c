// The in-process server on 127.0.0.1:9882 that the game page talks to: one listener, a
// registry of sessions keyed by UUID, and the counters they share. Owned by its creator;
// start(), stop() and isRunning() are called from the main thread. Listener callbacks and the
// registry live on the bridge's strand.
#pragma once

#include "bridge/Asio.hpp"
#include "bridge/BridgeMetrics.hpp"
#include "bridge/BridgeSession.hpp"
#include "bridge/IoThreadPool.hpp"

#include <boost/container_hash/hash.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>

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
  // the bridge's strand has done this; never call it from a bridge thread.
  void stop();
  [[nodiscard]] bool isRunning() const;
  // The port actually bound, or 0 before the first successful start().
  [[nodiscard]] std::uint16_t listeningPort() const;

  // For tests and diagnostics.
  [[nodiscard]] BridgeMetrics::Snapshot metricsSnapshot() const;
  [[nodiscard]] std::size_t sessionCount();  // waits for the bridge's strand
  // For tests: the remote connect time-out of sessions accepted afterwards (10 s by default).
  void setConnectTimeout(std::chrono::steady_clock::duration timeout);
  // For tests: how long sessions accepted afterwards may take to send their request head
  // (30 s by default).
  void setRequestTimeout(std::chrono::steady_clock::duration timeout);

private:
  using Sessions = std::unordered_map<boost::uuids::uuid, std::shared_ptr<BridgeSession>,
                                      boost::hash<boost::uuids::uuid>>;

  const std::shared_ptr<HostAllowlist> allowlist;
  const std::shared_ptr<BridgeMetrics> metrics;
  const std::uint16_t requestedPort;
  std::atomic<std::uint16_t> boundPort{0};
  BridgeSession::Settings sessionSettings;      // on the strand
  boost::uuids::random_generator newSessionId{};  // on the strand
  // The pool outlives everything below that runs on it: its destructor joins the threads.
  IoThreadPool pool;
  asio::strand<asio::io_context::executor_type> strand;
  Sessions sessions;
  std::optional<asio::ip::tcp::acceptor> listener;
  asio::steady_timer acceptPause;  // waits out a shortage of descriptors before accepting again
  // On the strand: the pause before the next try while accepts fail for lack of descriptors or
  // memory; nothing while they succeed.
  std::optional<std::chrono::milliseconds> acceptPauseLength;

  // Runs fn on the strand and waits for it.
  template <class Fn>
  void runOnStrand(Fn fn);

  [[nodiscard]] boost::system::error_code openListener();
  // Closes the listener and all sessions; true when a listener was open.
  bool closeEverything();
  void acceptNext();
  void onAccepted(const boost::system::error_code& error, SessionSocket socket);
  void onAcceptError(const boost::system::error_code& error);
  void accept(SessionSocket socket);
};

}  // namespace quillfern
