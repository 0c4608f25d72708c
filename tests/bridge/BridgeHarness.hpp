// A LoopbackBridge on a free loopback port with an allowlist of the test's choosing, its log
// captured, plus the requests and waits the bridge tests share.
#pragma once

#include "TestPeer.hpp"
#include "bridge/LoopbackBridge.hpp"
#include "support/LogCapture.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace quillfern::testing {

// Polls predicate until it holds or the deadline passes.
template <class Predicate>
[[nodiscard]] bool eventually(Predicate predicate,
                              std::chrono::steady_clock::duration deadline = testDeadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() >= end) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// The example key of RFC 6455 1.3 and its accept value.
inline constexpr std::string_view exampleKey = "dGhlIHNhbXBsZSBub25jZQ==";
inline constexpr std::string_view exampleAccept = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";

// Requests under the bridge's name without a port, so that they suit any port it bound.
// An upgrade request from an allowed origin with the example key; extraHeaders are CR LF
// terminated lines added after them.
[[nodiscard]] std::string upgradeRequest(std::string_view path, std::string_view extraHeaders = "");
// The 101 the bridge answers upgradeRequest() with, without a sub-protocol.
[[nodiscard]] std::string switchingProtocols();
[[nodiscard]] std::string getRequest(std::string_view path);

// The allowlist key "127.0.0.1:<port>" and the bridge path "/127.0.0.1/<port>" of a local server.
[[nodiscard]] std::string targetKey(std::uint16_t port);
[[nodiscard]] std::string targetPath(std::uint16_t port);
// A server close frame with a status code and reason of at most 123 bytes.
[[nodiscard]] std::string closeFrame(int code, std::string_view reason);

// Sets the soft limit on open descriptors for as long as it lives.
class DescriptorLimit {
public:
  explicit DescriptorLimit(rlim_t soft);
  DescriptorLimit(const DescriptorLimit&) = delete;
  DescriptorLimit& operator=(const DescriptorLimit&) = delete;
  DescriptorLimit(DescriptorLimit&&) = delete;
  DescriptorLimit& operator=(DescriptorLimit&&) = delete;
  ~DescriptorLimit();

  // The limits in force now.
  [[nodiscard]] static rlimit current();

private:
  rlimit saved{};
};

class BridgeHarness {
public:
  // allowedHosts: the cached allowlist ("127.0.0.1:<port>" keys); empty keeps the built-in one.
  explicit BridgeHarness(const std::vector<std::string>& allowedHosts = {},
                         std::chrono::milliseconds connectTimeout = std::chrono::seconds(10));

  [[nodiscard]] std::uint16_t port() const { return bridge->listeningPort(); }
  [[nodiscard]] BridgeMetrics::Snapshot metrics() const { return bridge->metricsSnapshot(); }
  // Waits until every session has left the registry.
  [[nodiscard]] bool registryEmpties() const;
  // True when a fresh GET /health is answered with a listening bridge's document.
  [[nodiscard]] bool answersHealth() const;

  LogCapture log;  // first: sees the bridge's first line and outlives its last
  std::unique_ptr<LoopbackBridge> bridge;
};

}  // namespace quillfern::testing
