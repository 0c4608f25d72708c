// A LoopbackBridge on a free loopback port with an allowlist of the test's choosing, its log
// captured, and the test's loop beside it.
#pragma once

#include "bridge/LoopbackBridge.hpp"
#include "support/LogCapture.hpp"
#include "support/Loopback.hpp"

#include <chrono>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace quillfern::testing {

// Sets the soft limit on open descriptors for as long as it lives.
class DescriptorLimit {
public:
  explicit DescriptorLimit(rlim_t soft);
  DescriptorLimit(const DescriptorLimit&) = delete;
  DescriptorLimit& operator=(const DescriptorLimit&) = delete;
  DescriptorLimit(DescriptorLimit&&) = delete;
  DescriptorLimit& operator=(DescriptorLimit&&) = delete;
  ~DescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &saved); }

  [[nodiscard]] static rlimit current();

private:
  rlimit saved = current();
};

class BridgeHarness {
public:
  // allowedHosts: the cached allowlist ("127.0.0.1:<port>" keys); empty keeps the built-in one.
  explicit BridgeHarness(const std::vector<std::string>& allowedHosts = {},
                         std::chrono::milliseconds connectTimeout = std::chrono::seconds(10));

  [[nodiscard]] std::uint16_t port() const { return bridge->listeningPort(); }
  [[nodiscard]] BridgeMetrics::Snapshot metrics() const { return bridge->metricsSnapshot(); }
  // Runs the loop until every session has left the registry and `active` is back to 0.
  [[nodiscard]] bool settles();
  // Upgrades client on path (the health socket, or a relay) and checks the 101.
  void upgrade(Peer& client, std::string_view path = "/health");
  // Sends request on a fresh connection and reads to the end; returns the status line, the
  // Content-Type and the body, as "404 Not Found [text/plain; charset=utf-8] Not found\n".
  [[nodiscard]] std::string exchange(std::string_view request);

  LogCapture log;  // first: sees the bridge's first line and outlives its last
  Loop loop;
  std::unique_ptr<LoopbackBridge> bridge;
};

}  // namespace quillfern::testing
