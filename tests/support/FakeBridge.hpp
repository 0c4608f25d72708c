// A Bridge whose readiness the test sets. The state outlives the bridge, so a test can see
// what happened to a bridge its controller made and destroyed.
#pragma once

#include "app/Bridge.hpp"

#include <boost/system/system_error.hpp>

#include <memory>
#include <optional>

namespace quillfern::testing {

struct FakeBridgeState {
  int made = 0;
  int starts = 0;
  int stops = 0;
  bool running = false;
  std::optional<boost::system::error_code> startFailure;  // start() throws it when set
  std::shared_ptr<HostAllowlist> allowlist;               // the one the bridge was made with
};

class FakeBridge final : public Bridge {
public:
  explicit FakeBridge(std::shared_ptr<FakeBridgeState> sharedState)
      : state(std::move(sharedState)) {}

  void start() override {
    ++state->starts;
    if (state->startFailure) {
      throw boost::system::system_error(*state->startFailure);
    }
  }
  void stop() override {
    ++state->stops;
    state->running = false;
  }
  [[nodiscard]] bool isRunning() const override { return state->running; }

  // A factory that makes FakeBridges over state.
  [[nodiscard]] static BridgeFactory factory(const std::shared_ptr<FakeBridgeState>& state) {
    return [state](std::shared_ptr<HostAllowlist> allowlist) -> std::unique_ptr<Bridge> {
      ++state->made;
      state->allowlist = std::move(allowlist);
      return std::make_unique<FakeBridge>(state);
    };
  }

private:
  std::shared_ptr<FakeBridgeState> state;
};

}  // namespace quillfern::testing
