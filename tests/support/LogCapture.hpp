// Records every log line written while it exists, for tests that check log output, and wakes
// whoever waits for a line. Only one may exist at a time. A line logged on another thread may
// still be delivered after the capture is gone (the log calls a copy of its observer outside
// its lock), so the observer owns what it writes to.
#pragma once

#include "log/Log.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace quillfern::testing {

class LogCapture {
public:
  // quiet: also keep the lines off standard error while capturing.
  explicit LogCapture(bool quiet = true) {
    setLogToStandardError(!quiet);
    setLogObserver([shared = state](std::string_view line) {
      {
        const std::scoped_lock guard(shared->mutex);
        shared->captured.emplace_back(line);
      }
      shared->logged.notify_all();
    });
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  LogCapture(LogCapture&&) = delete;
  LogCapture& operator=(LogCapture&&) = delete;
  ~LogCapture() {
    setLogObserver({});
    setLogToStandardError(true);
  }

  [[nodiscard]] std::vector<std::string> lines() const {
    const std::scoped_lock guard(state->mutex);
    return state->captured;
  }
  [[nodiscard]] bool contains(std::string_view line) const { return waitFor(line, {}); }
  // Waits until a line equal to `line` has been logged, or the deadline passes.
  [[nodiscard]] bool waitFor(std::string_view line,
                             std::chrono::milliseconds deadline = std::chrono::seconds(10)) const {
    std::unique_lock guard(state->mutex);
    return state->logged.wait_for(guard, deadline, [&] {
      return std::find(state->captured.begin(), state->captured.end(), line)
             != state->captured.end();
    });
  }
  void clear() {
    const std::scoped_lock guard(state->mutex);
    state->captured.clear();
  }

private:
  struct State {
    std::mutex mutex;
    std::condition_variable logged;
    std::vector<std::string> captured;
  };
  const std::shared_ptr<State> state = std::make_shared<State>();
};

}  // namespace quillfern::testing
