// The settings file: one JSON object in $XDG_CONFIG_HOME/quillfern/defaults.json (by default
// ~/.config/quillfern/defaults.json). Shared by the allowlist's start-up read and the refresh's
// write, which may run on different threads; an internal mutex serialises file access.
#pragma once

#include "platform/DefaultsStore.hpp"

#include <nlohmann/json_fwd.hpp>

#include <filesystem>
#include <functional>
#include <mutex>

namespace quillfern {

class JsonFileStore final : public DefaultsStore {
public:
  explicit JsonFileStore(std::filesystem::path filePath);

  // The file the user's settings live in, from the environment.
  [[nodiscard]] static std::filesystem::path defaultPath();

  [[nodiscard]] std::optional<std::vector<std::string>> stringArray(
      std::string_view key) const override;
  [[nodiscard]] boost::system::error_code setStringArray(
      std::string_view key, const std::vector<std::string>& value) override;
  [[nodiscard]] std::optional<DefaultsScalar> scalar(std::string_view key) const override;
  [[nodiscard]] boost::system::error_code setScalars(
      const std::vector<std::pair<std::string, DefaultsScalar>>& settings) override;

  [[nodiscard]] const std::filesystem::path& filePath() const { return path; }

private:
  const std::filesystem::path path;
  // Serialises reads and writes of the file; held across file I/O but never across a callback
  // or a log call.
  mutable std::mutex fileLock;
  // A corrupt file is reported once, not on every read. Guarded by fileLock.
  mutable bool reportedCorrupt = false;

  // Records a sighting of a corrupt file; true the first time. Caller holds fileLock.
  [[nodiscard]] bool firstCorruptSighting(bool corrupt) const;
  void reportCorrupt() const;
  // The file's object; empty when it is missing, unreadable or corrupt.
  [[nodiscard]] nlohmann::json readObject() const;
  // Reads the file, lets change edit its object and writes it back atomically.
  [[nodiscard]] boost::system::error_code update(
      const std::function<void(nlohmann::json&)>& change);
};

}  // namespace quillfern
