// The settings file reader on arbitrary bytes, then a write over whatever was there: neither may
// crash, and after the write the value must read back.
#include "log/Log.hpp"
#include "platform/JsonFileStore.hpp"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::filesystem::path folder = [] {
    quillfern::setLogToStandardError(false);
    auto path = std::filesystem::temp_directory_path()
                / ("quillfern-fuzz-store-" + std::to_string(::getpid()));
    std::filesystem::create_directories(path);
    return path;
  }();
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  const auto file = folder / "defaults.json";
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));

  quillfern::JsonFileStore store(file);
  (void)store.stringArray("mobile_bridge.allowed_hosts");
  if (store.setStringArray("mobile_bridge.allowed_hosts", {"a:1"})) {
    std::abort();
  }
  if (store.stringArray("mobile_bridge.allowed_hosts") != std::vector<std::string>{"a:1"}) {
    std::abort();
  }
  return 0;
}
