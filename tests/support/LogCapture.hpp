// Records every log line written while it exists, for tests that check log output, and wakes
// whoever waits for a line. Only one may exist at a time.
#pragma once

#include "log/Log.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
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
    setLogObserver([this](std::string_view line) {
      {
        const std::scoped_lock guard(mutex);
        captured.emplace_back(line);
      }
      logged.notify_all();
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
    const std::scoped_lock guard(mutex);
    return captured;
  }
  [[nodiscard]] bool contains(std::string_view line) const { return waitFor(line, {}); }
  // Waits until a line equal to `line` has been logged, or the deadline passes.
  [[nodiscard]] bool waitFor(std::string_view line,
                             std::chrono::milliseconds deadline = std::chrono::seconds(10)) const {
    std::unique_lock guard(mutex);
    return logged.wait_for(guard, deadline, [&] {
      return std::find(captured.begin(), captured.end(), line) != captured.end();
    });
  }
  void clear() {
    const std::scoped_lock guard(mutex);
    captured.clear();
  }

private:
  mutable std::mutex mutex;
  mutable std::condition_variable logged;
  std::vector<std::string> captured;
};

}  // namespace quillfern::testing
