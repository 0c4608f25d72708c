// The fixed policy that ties the program to one game site: its two URLs and the predicates for
// trusted hosts, WebSocket origins and navigation. No state; every member is safe from any
// thread.
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
};

}  // namespace quillfern
