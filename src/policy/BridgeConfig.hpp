// The fixed policy that ties the program to one game site: its two URLs and the predicates for
// trusted hosts, WebSocket origins, navigation and the names the bridge answers to. No state;
// every member is safe from any thread.
#pragma once

#include <boost/url/url.hpp>
#include <boost/url/url_view.hpp>

#include <cstdint>
#include <optional>
#include <string_view>

namespace quillfern {

struct BridgeConfig {
  BridgeConfig() = delete;

  // The bridge's fixed port; the loopback origin and navigation rules admit only this one.
  static constexpr std::uint16_t bridgePort = 9882;

  // "http://<site>/?player=ruffle&app=ios", built once on first use.
  [[nodiscard]] static const boost::urls::url& httpStartURL();
  // "https://<site>/ruffle-hosts.json", built once on first use.
  [[nodiscard]] static const boost::urls::url& hostsURL();

  [[nodiscard]] static bool isTrustedSiteHost(std::optional<std::string_view> host);
  // origin: the request's "origin" header value, or nothing when the request has none.
  [[nodiscard]] static bool isAllowedOrigin(std::optional<std::string_view> origin);
  // The caller handles the "about" scheme itself before it asks.
  [[nodiscard]] static bool isAllowedNavigation(const boost::urls::url_view& url);
  // host: a request's "host" header value. True for the names under which a browser reaches
  // the bridge itself: 127.0.0.1 or localhost in any case, alone or followed by ":" and
  // listenPort in decimal. Any other name is a site's own that resolves to this machine (DNS
  // rebinding), whose pages must not read what the bridge serves.
  [[nodiscard]] static bool isAllowedHost(std::string_view host, std::uint16_t listenPort);
};

}  // namespace quillfern
