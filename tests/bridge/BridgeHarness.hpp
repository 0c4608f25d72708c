// A LoopbackBridge on a free loopback port with an allowlist of the test's choosing, its log
// captured, and the test's loop beside it.
#pragma once

#include "bridge/LoopbackBridge.hpp"
#include "policy/HostAllowlist.hpp"
#include "support/LogCapture.hpp"
#include "support/Loopback.hpp"
#include "support/MemoryStore.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace quillfern::testing {

// Sets the soft limit on open descriptors for as long as it lives.
class DescriptorLimit {
public:
  explicit DescriptorLimit(rlim_t soft) {
    rlimit changed = saved;
    changed.rlim_cur = soft;
    ::setrlimit(RLIMIT_NOFILE, &changed);
  }
  DescriptorLimit(const DescriptorLimit&) = delete;
  DescriptorLimit& operator=(const DescriptorLimit&) = delete;
  DescriptorLimit(DescriptorLimit&&) = delete;
  DescriptorLimit& operator=(DescriptorLimit&&) = delete;
  ~DescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &saved); }

  [[nodiscard]] static rlimit current() {
    rlimit limits{};
    ::getrlimit(RLIMIT_NOFILE, &limits);
    return limits;
  }

private:
  rlimit saved = current();
};

class BridgeHarness {
public:
  // allowedHosts: the cached allowlist ("127.0.0.1:<port>" keys); empty keeps the built-in one.
  explicit BridgeHarness(const std::vector<std::string>& allowedHosts = {},
                         std::chrono::milliseconds connectTimeout = std::chrono::seconds(10)) {
    auto store = std::make_shared<MemoryStore>();
    if (!allowedHosts.empty()) {
      store->values[std::string(HostAllowlist::cacheKey)] = allowedHosts;
    }
    bridge = std::make_unique<LoopbackBridge>(std::make_shared<HostAllowlist>(store, nullptr), 0);
    bridge->setConnectTimeout(connectTimeout);
    bridge->start();
  }

  [[nodiscard]] std::uint16_t port() const { return bridge->listeningPort(); }
  [[nodiscard]] BridgeMetrics::Snapshot metrics() const { return bridge->metricsSnapshot(); }
  // Runs the loop until every session has left the registry and `active` is back to 0.
  [[nodiscard]] bool settles() {
    return loop.runUntil([&] { return bridge->sessionCount() == 0 && metrics().active == 0; });
  }
  // Upgrades client on path (the health socket, or a relay) and checks the 101.
  void upgrade(Peer& client, std::string_view path = "/health") {
    client.send(upgradeRequest(path));
    EXPECT_EQ(client.readHead(), switchingProtocols());
  }
  // Sends request on a fresh connection and reads to the end; returns the status line, the
  // Content-Type and the body, as "404 Not Found [text/plain; charset=utf-8] Not found\n".
  [[nodiscard]] std::string exchange(std::string_view request) {
    Peer client(loop, port());
    client.send(request);
    const std::string response = client.readToEnd();
    const std::size_t headEnd = response.find("\r\n\r\n");
    if (!response.starts_with("HTTP/1.1 ") || headEnd == std::string::npos) {
      return response;
    }
    const std::size_t type = response.find("\r\nContent-Type: ");
    const std::string contentType =
        type < headEnd ? response.substr(type + 16, response.find("\r\n", type + 2) - type - 16)
                       : "";
    return response.substr(9, response.find("\r\n") - 9) + " [" + contentType + "] "
           + response.substr(headEnd + 4);
  }

  LogCapture log;  // first: sees the bridge's first line and outlives its last
  Loop loop;
  std::unique_ptr<LoopbackBridge> bridge;
};

}  // namespace quillfern::testing
