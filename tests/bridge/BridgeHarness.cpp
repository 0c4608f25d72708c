#include "BridgeHarness.hpp"

#include "policy/HostAllowlist.hpp"
#include "support/MemoryStore.hpp"

#include <gtest/gtest.h>

namespace quillfern::testing {

DescriptorLimit::DescriptorLimit(rlim_t soft) : saved(current()) {
  rlimit changed = saved;
  changed.rlim_cur = soft;
  ::setrlimit(RLIMIT_NOFILE, &changed);
}

DescriptorLimit::~DescriptorLimit() {
  ::setrlimit(RLIMIT_NOFILE, &saved);
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

bool BridgeHarness::answersHealth() {
  Peer client(loop, port());
  client.send(getRequest("/health"));
  const std::string response = client.readToEnd();
  return response.starts_with("HTTP/1.1 200 OK\r\n")
         && response.find(R"({"ok":true,"port":9882,)") != std::string::npos;
}

std::string BridgeHarness::exchange(std::string_view request) {
  Peer client(loop, port());
  client.send(request);
  const std::string response = client.readToEnd();
  const std::size_t headEnd = response.find("\r\n\r\n");
  if (!response.starts_with("HTTP/1.1 ") || headEnd == std::string::npos) {
    return response;
  }
  const std::string head = response.substr(0, headEnd + 2);
  const std::size_t type = head.find("\r\nContent-Type: ");
  const std::string contentType =
      type == std::string::npos ? ""
                                : head.substr(type + 16, head.find("\r\n", type + 2) - type - 16);
  return head.substr(9, head.find("\r\n") - 9) + " [" + contentType + "] "
         + response.substr(headEnd + 4);
}

void BridgeHarness::upgrade(Peer& client, std::string_view path) {
  client.send(upgradeRequest(path));
  EXPECT_EQ(client.readHead(), switchingProtocols());
}

}  // namespace quillfern::testing
