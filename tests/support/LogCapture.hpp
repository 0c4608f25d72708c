// Records every log line written while it exists, for tests that check log output, and wakes
// whoever waits for a line. Only one may exist at a time.
#pragma once

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
  explicit LogCapture(bool quiet = true);
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  LogCapture(LogCapture&&) = delete;
  LogCapture& operator=(LogCapture&&) = delete;
  ~LogCapture();

  [[nodiscard]] std::vector<std::string> lines() const;
  [[nodiscard]] bool contains(std::string_view line) const;
  // Waits until a line equal to `line` has been logged, or the deadline passes.
  [[nodiscard]] bool waitFor(std::string_view line,
                             std::chrono::milliseconds deadline = std::chrono::seconds(10)) const;
  void clear();

private:
  mutable std::mutex mutex;
  mutable std::condition_variable logged;
  std::vector<std::string> captured;
};

}  // namespace quillfern::testing
