#include "BridgeHarness.hpp"

#include "policy/HostAllowlist.hpp"
#include "support/MemoryStore.hpp"

#include <gtest/gtest.h>

namespace quillfern::testing {

DescriptorLimit::DescriptorLimit(rlim_t soft) {
  rlimit changed = saved;
  changed.rlim_cur = soft;
  ::setrlimit(RLIMIT_NOFILE, &changed);
}

rlimit DescriptorLimit::current() {
  rlimit limits{};
  ::getrlimit(RLIMIT_NOFILE, &limits);
  return limits;
}

BridgeHarness::BridgeHarness(const std::vector<std::string>& allowedHosts,
                             std::chrono::milliseconds connectTimeout) {
  auto store = std::make_shared<MemoryStore>();
  if (!allowedHosts.empty()) {
    store->values[std::string(HostAllowlist::cacheKey)] = allowedHosts;
  }
  bridge = std::make_unique<LoopbackBridge>(std::make_shared<HostAllowlist>(store, nullptr), 0);
  bridge->setConnectTimeout(connectTimeout);
  bridge->start();
}

bool BridgeHarness::settles() {
  return loop.runUntil([&] { return bridge->sessionCount() == 0 && metrics().active == 0; });
}

std::string BridgeHarness::exchange(std::string_view request) {
  Peer client(loop, port());
  client.send(request);
  const std::string response = client.readToEnd();
  const std::size_t headEnd = response.find("\r\n\r\n");
  if (!response.starts_with("HTTP/1.1 ") || headEnd == std::string::npos) {
    return response;
  }
  const std::size_t type = response.find("\r\nContent-Type: ");
  const std::string contentType =
      type < headEnd ? response.substr(type + 16, response.find("\r\n", type + 2) - type - 16) : "";
  return response.substr(9, response.find("\r\n") - 9) + " [" + contentType + "] "
         + response.substr(headEnd + 4);
}

void BridgeHarness::upgrade(Peer& client, std::string_view path) {
  client.send(upgradeRequest(path));
  EXPECT_EQ(client.readHead(), switchingProtocols());
}

}  // namespace quillfern::testing
