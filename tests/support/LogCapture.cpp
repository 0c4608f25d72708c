#include "support/LogCapture.hpp"

#include "log/Log.hpp"

#include <algorithm>

namespace quillfern::testing {

LogCapture::LogCapture(bool quiet) {
  setLogToStandardError(!quiet);
  setLogObserver([this](std::string_view line) {
    {
      const std::scoped_lock guard(mutex);
      captured.emplace_back(line);
    }
    logged.notify_all();
  });
}

LogCapture::~LogCapture() {
  setLogObserver({});
  setLogToStandardError(true);
}

std::vector<std::string> LogCapture::lines() const {
  const std::scoped_lock guard(mutex);
  return captured;
}

bool LogCapture::contains(std::string_view line) const {
  const std::scoped_lock guard(mutex);
  return std::find(captured.begin(), captured.end(), line) != captured.end();
}

bool LogCapture::waitFor(std::string_view line, std::chrono::milliseconds deadline) const {
  std::unique_lock guard(mutex);
  return logged.wait_for(guard, deadline, [&] {
    return std::find(captured.begin(), captured.end(), line) != captured.end();
  });
}

void LogCapture::clear() {
  const std::scoped_lock guard(mutex);
  captured.clear();
}

}  // namespace quillfern::testing
