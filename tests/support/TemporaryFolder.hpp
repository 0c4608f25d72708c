// A fresh folder under the system's temporary directory, removed with everything in it when
// the object goes.
#pragma once

#include <filesystem>

namespace quillfern::testing {

class TemporaryFolder {
public:
  TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  TemporaryFolder(TemporaryFolder&&) = delete;
  TemporaryFolder& operator=(TemporaryFolder&&) = delete;
  ~TemporaryFolder();

  [[nodiscard]] const std::filesystem::path& path() const { return folder; }

private:
  std::filesystem::path folder;
};

}  // namespace quillfern::testing
