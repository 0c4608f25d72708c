// The WebSocket upgrade: origin, key, the health socket, the target and the 101 response.

#include "bridge/BridgeSession.hpp"
#include "bridge/WebSocketAccept.hpp"
#include "log/Log.hpp"
#include "policy/BridgeConfig.hpp"
#include "policy/HostAllowlist.hpp"

#include <cassert>

namespace quillfern {

namespace {

constexpr std::string_view textPlain = "text/plain; charset=utf-8";

}  // namespace

void BridgeSession::handleUpgrade(const HTTPRequest& request, std::string_view path) {
  assert(executor.running_in_this_thread());
  const auto origin = request.header("origin");
  if (!BridgeConfig::isAllowedOrigin(origin)) {
    log(LogTag::bridge, "拒绝 Origin：" + std::string(origin ? *origin : "(无)"));
    sendHTTP(403, "Forbidden", "Origin rejected\n", textPlain);
    return;
  }
  const auto key = request.header("sec-websocket-key");
  if (!key || key->empty()) {
    sendHTTP(400, "Bad Request", "Missing WebSocket key\n", textPlain);
    return;
  }
  const auto protocols = request.header("sec-websocket-protocol");
  if (path == "/health") {
    phase = Phase::health;
    sendWebSocketAccept(*key, protocols);
    return;
  }
  auto parsed = parseTarget(path);
  if (parsed && allowlist->allows(parsed->host, parsed->port)) {
    // The phase changes before the 101 is queued, so bytes behind the request are read as
    // frames; the 101 reaches the client before the remote connection exists.
    phase = Phase::connecting;
    target = std::move(parsed);
    sendWebSocketAccept(*key, protocols);
    connectRemote(*target);
    return;
  }
  log(LogTag::bridge, "拒绝目标：" + std::string(path));
  sendHTTP(403, "Forbidden", "Target rejected\n", textPlain);
}

void BridgeSession::sendWebSocketAccept(std::string_view key,
                                        std::optional<std::string_view> protocols) {
  const std::string response = webSocketAcceptResponse(key, protocols);
  sendRaw(std::vector<std::uint8_t>(response.begin(), response.end()));
}

}  // namespace quillfern
