#include "bridge/LoopbackBridge.hpp"

#include "log/Log.hpp"
#include "policy/BridgeConfig.hpp"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <exception>
#include <future>
#include <thread>
#include <vector>

namespace quillfern {

static_assert(LoopbackBridge::port == BridgeConfig::bridgePort);

namespace {

// How long to wait before accepting again when descriptors or memory ran out: the first pause
// of a shortage, doubled after each try that fails again, up to the longest.
constexpr auto firstAcceptPause = std::chrono::milliseconds(100);
constexpr auto longestAcceptPause = std::chrono::milliseconds(1600);

unsigned poolSize() {
  return std::max(1U, std::thread::hardware_concurrency());
}

// Errors after which the acceptor cannot be used again. Every other accept error belongs to one
// connection or to a passing shortage, and the listener carries on.
bool leavesAcceptorUnusable(const boost::system::error_code& error) {
  return error == asio::error::bad_descriptor || error == asio::error::invalid_argument
         || error == asio::error::not_socket || error == asio::error::fault;
}

bool isShortage(const boost::system::error_code& error) {
  return error == asio::error::no_descriptors || error == asio::error::no_buffer_space
         || error == asio::error::no_memory
         || error == boost::system::errc::too_many_files_open_in_system;
}

}  // namespace

LoopbackBridge::LoopbackBridge(std::shared_ptr<HostAllowlist> hostAllowlist)
    : LoopbackBridge(std::move(hostAllowlist), port) {}

LoopbackBridge::LoopbackBridge(std::shared_ptr<HostAllowlist> hostAllowlist,
                               std::uint16_t listenPort)
    : allowlist(std::move(hostAllowlist)),
      metrics(std::make_shared<BridgeMetrics>()),
      requestedPort(listenPort),
      pool(poolSize()),
      listenerExecutor(pool.at(0).io.get_executor()),
      acceptPause(listenerExecutor) {}

LoopbackBridge::~LoopbackBridge() {
  try {
    bool wasListening = false;
    runOn(pool.at(0), [&] { wasListening = closeListener(); });
    closeSessions();
    if (wasListening) {
      log(LogTag::bridge, "已停止");
    }
  } catch (const std::exception& e) {
    log(LogTag::bridge, e.what());  // the threads are joined below all the same
  }
  pool.stop();
}

template <class Task>
std::future<void> LoopbackBridge::post(Worker& worker, std::promise<void>& done, Task task) {
  assert(!worker.io.get_executor().running_in_this_thread());
  // Taken before the task can run, so the promise is never read and set at once.
  std::future<void> result = done.get_future();
  asio::post(worker.io, [&done, task = std::move(task)]() mutable {
    try {
      task();
      done.set_value();
    } catch (...) {
      done.set_exception(std::current_exception());
    }
  });
  return result;
}

template <class Fn>
void LoopbackBridge::runOn(Worker& worker, Fn fn) {
  std::promise<void> done;
  post(worker, done, std::move(fn)).get();
}

template <class Fn>
void LoopbackBridge::runOnEach(Fn fn) {
  std::vector<std::promise<void>> done(pool.size());
  std::vector<std::future<void>> results;
  for (std::size_t i = 0; i < pool.size(); ++i) {
    results.push_back(post(pool.at(i), done[i], [&fn, &worker = pool.at(i)] { fn(worker); }));
  }
  // Every task refers to fn and done: all of them are waited for before any error is raised.
  for (std::future<void>& result : results) {
    result.wait();
  }
  for (std::future<void>& result : results) {
    result.get();
  }
}

void LoopbackBridge::start() {
  boost::system::error_code error;
  runOn(pool.at(0), [&] { error = openListener(); });
  if (error) {
    throw boost::system::system_error(error);
  }
}

void LoopbackBridge::stop() {
  runOn(pool.at(0), [&] { closeListener(); });
  closeSessions();
  log(LogTag::bridge, "已停止");
}

bool LoopbackBridge::isRunning() const {
  return metrics->isRunning();
}

std::uint16_t LoopbackBridge::listeningPort() const {
  return boundPort.load();
}

BridgeMetrics::Snapshot LoopbackBridge::metricsSnapshot() const {
  return metrics->snapshot();
}

std::size_t LoopbackBridge::sessionCount() {
  std::atomic<std::size_t> count{0};
  runOnEach([&](Worker& worker) { count += worker.sessions.size(); });
  return count;
}

void LoopbackBridge::setConnectTimeout(std::chrono::steady_clock::duration timeout) {
  runOn(pool.at(0), [&] { sessionSettings.connectTimeout = timeout; });
}

void LoopbackBridge::setRequestTimeout(std::chrono::steady_clock::duration timeout) {
  runOn(pool.at(0), [&] { sessionSettings.requestTimeout = timeout; });
}

boost::system::error_code LoopbackBridge::openListener() {
  assert(listenerExecutor.running_in_this_thread());
  if (listener) {
    return {};  // whatever state it is in, even failed: only stop() clears it
  }
  // Bound to loopback only: this is what keeps the bridge unreachable from other machines.
  const asio::ip::tcp::endpoint endpoint(asio::ip::address_v4::loopback(), requestedPort);
  asio::ip::tcp::acceptor acceptor(listenerExecutor);
  boost::system::error_code error;
  acceptor.open(endpoint.protocol(), error);
  if (!error) {
    acceptor.set_option(asio::socket_base::reuse_address(true), error);
  }
  if (!error) {
    acceptor.bind(endpoint, error);
  }
  if (!error) {
    acceptor.listen(asio::socket_base::max_listen_connections, error);
  }
  if (error) {
    return error;
  }
  boundPort = acceptor.local_endpoint().port();
  sessionSettings.listenPort = boundPort;
  listener.emplace(std::move(acceptor));
  metrics->setRunning(true);
  log(LogTag::bridge, "已监听 ws://127.0.0.1:" + std::to_string(boundPort.load()));
  acceptNext();
  return {};
}

bool LoopbackBridge::closeListener() {
  assert(listenerExecutor.running_in_this_thread());
  const bool wasListening = listener.has_value();
  if (listener) {
    boost::system::error_code ignored;
    listener->close(ignored);
    listener.reset();
  }
  acceptPause.cancel();
  acceptPauseLength.reset();
  metrics->setRunning(false);
  return wasListening;
}

void LoopbackBridge::closeSessions() {
  // The listener is closed first, so every adoption it started was posted before this and
  // runs before it: no session joins a registry after it has been emptied.
  runOnEach([](Worker& worker) {
    WorkerPool::Sessions snapshot;
    snapshot.swap(worker.sessions);
    // Each close runs after this task; the task it posts keeps the session alive until then.
    for (const auto& entry : snapshot) {
      entry.second->stop();
    }
  });
}

void LoopbackBridge::acceptNext() {
  // Each connection is accepted straight onto the next worker's context, where its session
  // will live.
  Worker& worker = pool.next();
  listener->async_accept(
      worker.io.get_executor(),
      [this, &worker](const boost::system::error_code& error, SessionSocket socket) {
        onAccepted(error, worker, std::move(socket));
      });
}

void LoopbackBridge::onAccepted(const boost::system::error_code& error, Worker& worker,
                                SessionSocket socket) {
  assert(listenerExecutor.running_in_this_thread());
  // A connection accepted just as stop() closed the listener is dropped with the socket.
  if (error == asio::error::operation_aborted || !listener || !listener->is_open()) {
    return;
  }
  if (error) {
    onAcceptError(error);
    return;
  }
  acceptPauseLength.reset();  // a shortage, if there was one, is over
  asio::post(worker.io, [this, &worker, id = newSessionId(), socket = std::move(socket),
                         settings = sessionSettings]() mutable {
    adopt(worker, id, std::move(socket), settings);
  });
  acceptNext();
}

void LoopbackBridge::onAcceptError(const boost::system::error_code& error) {
  const std::string description = error.message();
  if (leavesAcceptorUnusable(error)) {
    metrics->setRunning(false);
    metrics->setLastError(description);
    log(LogTag::bridge, "监听失败：" + description);
    boost::system::error_code ignored;
    listener->close(ignored);  // the field keeps it, so start() does nothing until stop()
    return;
  }
  if (!isShortage(error)) {
    metrics->setLastError(description);
    log(LogTag::bridge, "等待监听：" + description);
    acceptNext();
    return;
  }
  // A shortage lasts as long as others hold the descriptors, which may be many tries: it is
  // logged once, when it begins, and the tries back off.
  if (acceptPauseLength) {
    acceptPauseLength = std::min(*acceptPauseLength * 2, longestAcceptPause);
  } else {
    acceptPauseLength = firstAcceptPause;
    metrics->setLastError(description);
    log(LogTag::bridge, "等待监听：" + description);
  }
  acceptPause.expires_after(*acceptPauseLength);
  acceptPause.async_wait([this](const boost::system::error_code& pauseError) {
    if (!pauseError && listener && listener->is_open()) {
      acceptNext();
    }
  });
}

void LoopbackBridge::adopt(Worker& worker, boost::uuids::uuid id, SessionSocket socket,
                           BridgeSession::Settings settings) {
  assert(worker.io.get_executor().running_in_this_thread());
  // The bridge outlives every handler (its pool joins the threads first), so the callback may
  // hold it and the worker directly. The removal is posted, never done inside the session's
  // own handler, and runs on this worker, where the registry lives.
  auto session = BridgeSession::create(
      id, std::move(socket), allowlist, metrics,
      [&worker](const boost::uuids::uuid& closedId) {
        asio::post(worker.io, [&worker, closedId] { worker.sessions.erase(closedId); });
      },
      settings, worker.chunks);
  worker.sessions.emplace(id, session);
  session->start();
}

}  // namespace quillfern
