// A fresh folder under the system's temporary directory, removed with everything in it when
// the object goes.
#pragma once

#include <filesystem>
#include <stdlib.h>  // mkdtemp
#include <string>

namespace quillfern::testing {

class TemporaryFolder {
public:
  TemporaryFolder() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quillfern-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::filesystem::filesystem_error("mkdtemp", std::make_error_code(std::errc::io_error));
    }
    folder = pattern;
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  TemporaryFolder(TemporaryFolder&&) = delete;
  TemporaryFolder& operator=(TemporaryFolder&&) = delete;
  ~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }

  [[nodiscard]] const std::filesystem::path& path() const { return folder; }

private:
  std::filesystem::path folder;
};

}  // namespace quillfern::testing
