// An in-memory DefaultsStore for tests: values live in a map; a write can be made to fail.
#pragma once

#include "platform/DefaultsStore.hpp"

#include <map>
#include <mutex>

namespace quillfern::testing {

class MemoryStore final : public DefaultsStore {
public:
  [[nodiscard]] std::optional<std::vector<std::string>> stringArray(
      std::string_view key) const override {
    const std::scoped_lock guard(mutex);
    const auto found = values.find(std::string(key));
    return found == values.end() ? std::nullopt : std::optional(found->second);
  }
  [[nodiscard]] boost::system::error_code setStringArray(
      std::string_view key, const std::vector<std::string>& value) override {
    const std::scoped_lock guard(mutex);
    ++writes;
    if (failWrites) {
      return make_error_code(boost::system::errc::io_error);
    }
    values[std::string(key)] = value;
    return {};
  }

  [[nodiscard]] std::optional<DefaultsScalar> scalar(std::string_view key) const override {
    const std::scoped_lock guard(mutex);
    const auto found = scalars.find(std::string(key));
    return found == scalars.end() ? std::nullopt : std::optional(found->second);
  }
  [[nodiscard]] boost::system::error_code setScalars(
      const std::vector<std::pair<std::string, DefaultsScalar>>& settings) override {
    const std::scoped_lock guard(mutex);
    ++writes;
    if (failWrites) {
      return make_error_code(boost::system::errc::io_error);
    }
    for (const auto& [key, value] : settings) {
      scalars[key] = value;
    }
    return {};
  }

  mutable std::mutex mutex;
  std::map<std::string, std::vector<std::string>> values;
  std::map<std::string, DefaultsScalar> scalars;
  int writes = 0;
  bool failWrites = false;
};

}  // namespace quillfern::testing
