// A Bridge whose state outlives it, so a test sees what happened to a bridge its controller made
// and destroyed; and a MainLoop with a manual clock: nothing runs until the test advances time.
#pragma once

#include "app/Bridge.hpp"
#include "app/MainLoop.hpp"

#include <boost/system/system_error.hpp>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>

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

class FakeMainLoop final : public MainLoop {
public:
  void runLater(Task task) override { runAfter(std::chrono::milliseconds(0), std::move(task)); }
  void runAfter(std::chrono::milliseconds delay, Task task) override {
    tasks.emplace(std::pair(clock + delay, nextOrder++), std::move(task));
  }

  // Moves the clock forward by step and runs every task that falls due on the way, in order of
  // due time and then of scheduling, including tasks that those tasks schedule.
  void advance(std::chrono::milliseconds step) {
    const auto until = clock + step;
    for (int ran = 0; !tasks.empty() && tasks.begin()->first.first <= until; ++ran) {
      if (ran == maxTasksPerAdvance) {
        throw std::runtime_error("FakeMainLoop: tasks keep rescheduling themselves");
      }
      auto due = tasks.begin();
      clock = due->first.first;
      Task task = std::move(due->second);
      tasks.erase(due);
      task();
    }
    clock = until;
  }
  // Runs what is due now, such as the work handed over by runLater.
  void runPending() { advance(std::chrono::milliseconds(0)); }

  [[nodiscard]] std::size_t pending() const { return tasks.size(); }

private:
  static constexpr int maxTasksPerAdvance = 100000;
  std::chrono::milliseconds clock{0};
  std::uint64_t nextOrder = 0;
  std::map<std::pair<std::chrono::milliseconds, std::uint64_t>, Task> tasks;
};

}  // namespace quillfern::testing
