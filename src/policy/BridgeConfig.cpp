#include "policy/BridgeConfig.hpp"

#include "policy/SiteConfig.hpp"
#include "policy/StrictURL.hpp"
#include "policy/UnicodeText.hpp"

#include <algorithm>
#include <string>

namespace quillfern {

namespace {

constexpr std::string_view loopbackAddress = "127.0.0.1";
constexpr std::string_view loopbackName = "localhost";

// host must already be lower-case. Whole-string comparisons only: a trailing dot, a port or a
// missing dot before the domain all fail.
bool isTrustedDomain(std::string_view host) {
  for (const std::string_view domain : {site::firstTrustedDomain, site::secondTrustedDomain}) {
    if (host == domain) {
      return true;
    }
    if (host.size() > domain.size() && host.ends_with(domain)
        && host[host.size() - domain.size() - 1] == '.') {
      return true;
    }
  }
  return false;
}

// expected is lower-case. A request's header bytes are read as ISO 8859-1, whose letters outside
// ASCII never lower-case into ASCII, so ASCII case rules decide.
bool equalsIgnoringASCIICase(std::string_view text, std::string_view expected) {
  return std::equal(text.begin(), text.end(), expected.begin(), expected.end(), [](char c, char e) {
    return c == e || (c >= 'A' && c <= 'Z' && c - 'A' + 'a' == e);
  });
}

// The port as the URL carries it, or nothing when it carries none (an empty port after the
// colon counts as none). A port that does not fit 16 bits yields -1, which matches nothing.
std::optional<long> explicitPort(const boost::urls::url_view& url) {
  if (!url.has_port() || url.port().empty()) {
    return std::nullopt;
  }
  const auto port = url.port_number();
  return port == 0 && url.port().find_first_not_of('0') != std::string_view::npos ? -1L
                                                                                  : long{port};
}

}  // namespace

const boost::urls::url& BridgeConfig::httpStartURL() {
  static const boost::urls::url url(
      std::string("http://") + std::string(site::host) + "/?player=ruffle&app=ios");
  return url;
}

const boost::urls::url& BridgeConfig::hostsURL() {
  static const boost::urls::url url(
      std::string("https://") + std::string(site::host) + "/ruffle-hosts.json");
  return url;
}

bool BridgeConfig::isTrustedSiteHost(std::optional<std::string_view> host) {
  return host && isTrustedDomain(lowercased(*host));
}

bool BridgeConfig::isAllowedOrigin(std::optional<std::string_view> origin) {
  if (!origin || trimSpaceAndNewlines(*origin).empty()) {
    return false;
  }
  // The untrimmed value is parsed: an origin with surrounding blanks is not a valid reference.
  const auto parsed = parseStrictURI(*origin);
  if (!parsed || !parsed->has_authority()) {
    return false;
  }
  const std::string scheme = lowercased(parsed->scheme());
  const std::string host = lowercased(parsed->host());
  if ((scheme == "http" || scheme == "https") && isTrustedDomain(host)) {
    return true;
  }
  if (scheme != "http" || (host != loopbackAddress && host != loopbackName)) {
    return false;
  }
  const auto port = explicitPort(*parsed);
  return !port || *port == bridgePort;
}

bool BridgeConfig::isAllowedNavigation(const boost::urls::url_view& url) {
  if (!url.has_scheme() || !isStrictURL(url)) {
    return false;
  }
  const std::string scheme = lowercased(url.scheme());
  const std::optional<std::string> host =
      url.has_authority() ? std::optional<std::string>(url.host()) : std::nullopt;
  if ((scheme == "http" || scheme == "https") && isTrustedSiteHost(host)) {
    return true;
  }
  if (scheme != "http" || !host || (*host != loopbackAddress && lowercased(*host) != loopbackName)) {
    return false;
  }
  const auto port = explicitPort(url);
  return port && *port == bridgePort;
}

bool BridgeConfig::isAllowedHost(std::string_view host, std::uint16_t listenPort) {
  const auto colon = host.find(':');
  const std::string_view name = host.substr(0, colon);
  if (colon != std::string_view::npos && host.substr(colon + 1) != std::to_string(listenPort)) {
    return false;
  }
  return equalsIgnoringASCIICase(name, loopbackAddress)
         || equalsIgnoringASCIICase(name, loopbackName);
}

}  // namespace quillfern
