#include "app/LoopbackBridgeAdapter.hpp"

namespace quillfern {

namespace {

// TODO(#3): wrap LoopbackBridge once it lands; until then the bridge never listens.
class NotYetBridge final : public Bridge {
public:
  void start() override {}
  void stop() override {}
  [[nodiscard]] bool isRunning() const override { return false; }
};

}  // namespace

std::unique_ptr<Bridge> makeLoopbackBridge(std::shared_ptr<HostAllowlist> /*allowlist*/) {
  return std::make_unique<NotYetBridge>();
}

}  // namespace quillfern
