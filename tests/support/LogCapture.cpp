#include "support/LogCapture.hpp"

#include "log/Log.hpp"

#include <algorithm>
#include <thread>

namespace quillfern::testing {

LogCapture::LogCapture(bool quiet) {
  setLogToStandardError(!quiet);
  setLogObserver([this](std::string_view line) {
    const std::scoped_lock guard(mutex);
    captured.emplace_back(line);
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
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!contains(line)) {
    if (std::chrono::steady_clock::now() >= end) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void LogCapture::clear() {
  const std::scoped_lock guard(mutex);
  captured.clear();
}

}  // namespace quillfern::testing
