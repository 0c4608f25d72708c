// Sets environment variables for the life of one test and puts the old values back afterwards.
// The environment is process-wide and not thread-safe: create and destroy it while no other
// thread of the test reads the environment (before starting a client, after stopping it).
#pragma once

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillfern::testing {

class ScopedEnvironment {
public:
  // A value of nothing removes the variable.
  using Settings = std::vector<std::pair<std::string, std::optional<std::string>>>;

  explicit ScopedEnvironment(const Settings& settings) {
    for (const auto& [name, value] : settings) {
      const char* old = std::getenv(name.c_str());  // NOLINT(concurrency-mt-unsafe)
      saved.emplace_back(name, old == nullptr ? std::nullopt : std::optional<std::string>(old));
      apply(name, value);
    }
  }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
  ScopedEnvironment(ScopedEnvironment&&) = delete;
  ScopedEnvironment& operator=(ScopedEnvironment&&) = delete;
  ~ScopedEnvironment() {
    while (!saved.empty()) {  // newest first, so a name set twice ends as it began
      apply(saved.back().first, saved.back().second);
      saved.pop_back();
    }
  }

private:
  static void apply(const std::string& name, const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
    } else {
      ::unsetenv(name.c_str());  // NOLINT(concurrency-mt-unsafe)
    }
  }

  Settings saved;
};

}  // namespace quillfern::testing
