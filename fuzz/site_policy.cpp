// The origin and navigation predicates on arbitrary text: they must never crash, and a
// navigation the policy allows must be http(s).
#include "policy/BridgeConfig.hpp"

#include <boost/url/parse.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)quillfern::BridgeConfig::isAllowedOrigin(text);
  (void)quillfern::BridgeConfig::isTrustedSiteHost(text);
  if (const auto url = boost::urls::parse_uri_reference(text)) {
    if (quillfern::BridgeConfig::isAllowedNavigation(*url)) {
      const auto scheme = url->scheme_id();
      if (scheme != boost::urls::scheme::http && scheme != boost::urls::scheme::https) {
        std::abort();
      }
    }
  }
  return 0;
}
