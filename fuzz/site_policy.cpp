// The origin and navigation predicates on arbitrary text: they must never crash, a navigation
// the policy allows must be http(s), and whatever either allows, re-read by hand the way RFC 3986
// splits an authority, must have exactly the host and port the library read and the decision
// was taken on (a lax parse once turned "http://127.0.0.1.evil.example" into host 127.0.0.1).
#include "policy/BridgeConfig.hpp"

#include <boost/url/parse.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

namespace {

struct Authority {
  std::string_view host;
  bool hasPort = false;
  std::string_view port;  // empty without a port
};

// The authority runs from the "//" behind the scheme to the first "/", "?" or "#"; the host
// follows the last "@" and ends at the next ":", or at the "]" that closes an IP literal.
std::optional<Authority> strictAuthority(std::string_view text) {
  const auto schemeEnd = text.find(':');
  if (schemeEnd == std::string_view::npos || text.substr(schemeEnd + 1, 2) != "//") {
    return std::nullopt;
  }
  std::string_view authority = text.substr(schemeEnd + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
    authority.remove_prefix(at + 1);
  }
  const auto literalEnd = authority.starts_with('[') ? authority.find(']') : 0;
  if (literalEnd == std::string_view::npos) {
    return std::nullopt;
  }
  const auto colon = authority.find(':', literalEnd);
  if (colon == std::string_view::npos) {
    return Authority{.host = authority, .hasPort = false, .port = {}};
  }
  return Authority{
      .host = authority.substr(0, colon), .hasPort = true, .port = authority.substr(colon + 1)};
}

// Aborts unless url, which the policy allowed, is read the same way by hand.
void expectStrictlyTheSame(std::string_view text, const boost::urls::url_view& url) {
  const auto strict = strictAuthority(text);
  if (!strict || strict->host != std::string_view(url.encoded_host())
      || strict->hasPort != url.has_port() || strict->port != std::string_view(url.port())) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)quillfern::BridgeConfig::isTrustedSiteHost(text);
  (void)quillfern::BridgeConfig::isAllowedHost(text, quillfern::BridgeConfig::bridgePort);
  const auto url = boost::urls::parse_uri_reference(text);
  if (quillfern::BridgeConfig::isAllowedOrigin(text)) {
    if (!url) {
      std::abort();
    }
    expectStrictlyTheSame(text, *url);
  }
  if (url && quillfern::BridgeConfig::isAllowedNavigation(*url)) {
    const auto scheme = url->scheme_id();
    if (scheme != boost::urls::scheme::http && scheme != boost::urls::scheme::https) {
      std::abort();
    }
    expectStrictlyTheSame(text, *url);
  }
  return 0;
}
