// The persisted settings: a small key-value store of string arrays, flags and whole numbers
// that survives restarts. Implementations are safe to use from any thread.
#pragma once

#include <boost/system/error_code.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace quillfern {

// A setting that is not a list: a flag or a whole number.
using DefaultsScalar = std::variant<bool, std::int64_t>;

class DefaultsStore {
public:
  virtual ~DefaultsStore() = default;

  // The value under key when it is an array made only of strings; nothing when the key is
  // absent, holds anything else, or the store cannot be read.
  [[nodiscard]] virtual std::optional<std::vector<std::string>> stringArray(
      std::string_view key) const = 0;

  // Replaces the value under key, keeping every other key. Either the whole new store is in
  // place afterwards or the old one is untouched.
  [[nodiscard]] virtual boost::system::error_code setStringArray(
      std::string_view key, const std::vector<std::string>& value) = 0;

  // The value under key when it is true, false or a whole number that fits 64 bits; nothing
  // when the key is absent, holds anything else, or the store cannot be read.
  [[nodiscard]] virtual std::optional<DefaultsScalar> scalar(std::string_view key) const = 0;

  // Replaces the values under the given keys in one write, keeping every other key: either all
  // of them are in place afterwards or the old store is untouched.
  [[nodiscard]] virtual boost::system::error_code setScalars(
      const std::vector<std::pair<std::string, DefaultsScalar>>& settings) = 0;

protected:
  DefaultsStore() = default;
  DefaultsStore(const DefaultsStore&) = default;
  DefaultsStore& operator=(const DefaultsStore&) = default;
  DefaultsStore(DefaultsStore&&) = default;
  DefaultsStore& operator=(DefaultsStore&&) = default;
};

}  // namespace quillfern
