// The controller's Bridge over the real LoopbackBridge, which listens on 127.0.0.1:9882.
#pragma once

#include "app/Bridge.hpp"

#include <memory>

namespace quillfern {

[[nodiscard]] std::unique_ptr<Bridge> makeLoopbackBridge(std::shared_ptr<HostAllowlist> allowlist);

}  // namespace quillfern
