#include "support/TemporaryFolder.hpp"

#include <stdlib.h>  // mkdtemp

#include <string>

namespace quillfern::testing {

TemporaryFolder::TemporaryFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quillfern-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::filesystem::filesystem_error("mkdtemp", std::make_error_code(std::errc::io_error));
  }
  folder = pattern;
}

TemporaryFolder::~TemporaryFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
}

}  // namespace quillfern::testing
