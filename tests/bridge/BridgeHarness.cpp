#include "BridgeHarness.hpp"

#include "policy/HostAllowlist.hpp"
#include "support/MemoryStore.hpp"

namespace quillfern::testing {

std::string upgradeRequest(std::string_view path, std::string_view extraHeaders) {
  return "GET " + std::string(path)
         + " HTTP/1.1\r\nHost: 127.0.0.1:9882\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Origin: http://127.0.0.1:9882\r\nSec-WebSocket-Version: 13\r\nSec-WebSocket-Key: "
         + std::string(exampleKey) + "\r\n" + std::string(extraHeaders) + "\r\n";
}

std::string switchingProtocols() {
  return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";
}

std::string getRequest(std::string_view path) {
  return "GET " + std::string(path) + " HTTP/1.1\r\nHost: 127.0.0.1:9882\r\n\r\n";
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

bool BridgeHarness::registryEmpties() const {
  return eventually([this] { return bridge->sessionCount() == 0; });
}

}  // namespace quillfern::testing
