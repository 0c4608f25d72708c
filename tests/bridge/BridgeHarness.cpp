#include "BridgeHarness.hpp"

#include "policy/HostAllowlist.hpp"
#include "support/MemoryStore.hpp"

namespace quillfern::testing {

std::string upgradeRequest(std::string_view path, std::string_view extraHeaders) {
  return "GET " + std::string(path)
         + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Origin: http://127.0.0.1:9882\r\nSec-WebSocket-Version: 13\r\nSec-WebSocket-Key: "
         + std::string(exampleKey) + "\r\n" + std::string(extraHeaders) + "\r\n";
}

std::string switchingProtocols() {
  return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";
}

std::string getRequest(std::string_view path) {
  return "GET " + std::string(path) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
}

std::string targetKey(std::uint16_t port) {
  return "127.0.0.1:" + std::to_string(port);
}

std::string targetPath(std::uint16_t port) {
  return "/127.0.0.1/" + std::to_string(port);
}

std::string closeFrame(int code, std::string_view reason) {
  return bytes({0x88, static_cast<int>(reason.size() + 2), code >> 8, code & 0xFF})
         + std::string(reason);
}

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

bool BridgeHarness::registryEmpties() const {
  return eventually([this] { return bridge->sessionCount() == 0; });
}

bool BridgeHarness::answersHealth() const {
  TestPeer client(port());
  client.send(getRequest("/health"));
  const std::string response = client.readToEnd();
  return response.starts_with("HTTP/1.1 200 OK\r\n")
         && response.find(R"({"ok":true,"port":9882,)") != std::string::npos;
}

}  // namespace quillfern::testing
