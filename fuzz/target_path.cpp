// Target parsing on arbitrary route paths: a target, when there is one, has a non-empty
// lower-case trimmed host and a port from 1 to 65535.
#include "bridge/Target.hpp"
#include "policy/UnicodeText.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view path(reinterpret_cast<const char*>(data), size);
  if (const auto target = quillfern::parseTarget(path)) {
    if (target->host.empty() || target->port == 0
        || quillfern::trimSpaceAndNewlines(target->host) != target->host
        || quillfern::lowercased(target->host) != target->host) {
      std::abort();
    }
    (void)target->text();
  }
  return 0;
}
