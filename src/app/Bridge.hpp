// The loopback bridge as the controller sees it: start, stop and a readiness flag. The real
// implementation wraps LoopbackBridge; tests use a fake. Used from the main thread only.
#pragma once

#include <functional>
#include <memory>

namespace quillfern {

class HostAllowlist;

class Bridge {
public:
  virtual ~Bridge() = default;

  // Opens the listener. Throws boost::system::system_error when the port cannot be bound.
  virtual void start() = 0;
  // Closes the listener and every session; returns when that is done.
  virtual void stop() = 0;
  [[nodiscard]] virtual bool isRunning() const = 0;

protected:
  Bridge() = default;
  Bridge(const Bridge&) = default;
  Bridge& operator=(const Bridge&) = default;
  Bridge(Bridge&&) = default;
  Bridge& operator=(Bridge&&) = default;
};

// Makes the bridge that relays to the targets of the given allowlist.
using BridgeFactory = std::function<std::unique_ptr<Bridge>(std::shared_ptr<HostAllowlist>)>;

}  // namespace quillfern
