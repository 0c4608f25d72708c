// Allowlist entries: each line of the input is one entry. Every key that comes out must be in
// key form: a non-empty host, ":" and a port from 1 to 65535 without sign or leading zero.
#include "policy/AllowlistEntry.hpp"
#include "policy/HostAllowlist.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> entries;
  std::size_t start = 0;
  while (start <= text.size()) {
    const auto end = text.find('\n', start);
    entries.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) {
      break;
    }
    start = end + 1;
  }
  for (const std::string& key : quillfern::HostAllowlist::parse(entries)) {
    const auto colon = key.rfind(':');
    const auto port = quillfern::parseDecimalPort(key.substr(colon + 1), false);
    if (colon == 0 || colon == std::string::npos || !port || *port == 0
        || std::to_string(*port) != key.substr(colon + 1)) {
      std::abort();
    }
    // Normalising a key again must give the same key.
    if (quillfern::allowlistKey(key) != key) {
      std::abort();
    }
  }
  return 0;
}
