#include "app/LoopbackBridgeAdapter.hpp"

#include "bridge/LoopbackBridge.hpp"
#include "bridge/ServerProcess.hpp"
#include "policy/BridgeConfig.hpp"

namespace quillfern {

namespace {

// The controller's banners and its fallback address name the port through the site policy.
static_assert(LoopbackBridge::port == BridgeConfig::bridgePort);

class LoopbackBridgeAdapter final : public Bridge {
public:
  explicit LoopbackBridgeAdapter(std::shared_ptr<HostAllowlist> allowlist)
      : bridge(std::move(allowlist)) {}

  void start() override {
    prepareServerProcess();
    bridge.start();
  }
  void stop() override { bridge.stop(); }
  [[nodiscard]] bool isRunning() const override { return bridge.isRunning(); }

private:
  LoopbackBridge bridge;
};

}  // namespace

std::unique_ptr<Bridge> makeLoopbackBridge(std::shared_ptr<HostAllowlist> allowlist) {
  return std::make_unique<LoopbackBridgeAdapter>(std::move(allowlist));
}

}  // namespace quillfern
