#include "policy/BridgeConfig.hpp"

#include <boost/url/parse.hpp>
#include <gtest/gtest.h>

#include <optional>
#include <string_view>

namespace quillfern {
namespace {

using std::nullopt;

TEST(BridgeConfigTrustedSiteHost, WholeDomainOrDotSubdomain) {
  struct Case {
    std::optional<std::string_view> host;
    bool expected;
  };
  for (const Case& c : {
           Case{nullopt, false},
           Case{"", false},
           Case{"quillfern.example", true},
           Case{"QUILLFERN.EXAMPLE", true},
           Case{"game.quillfern.example", true},
           Case{"a.b.c.quillfern.example", true},
           Case{"quillfern-cdn.example", true},
           Case{"static.Quillfern-CDN.example", true},
           Case{"evilquillfern.example", false},  // no dot before the domain
           Case{"quillfern.example.", false},     // trailing dot
           Case{"quillfern.example:443", false},  // port attached
           Case{"quillfern.example.evil.test", false},
           Case{".quillfern.example", true},  // empty label before the dot still ends with it
           Case{"example", false},
       }) {
    SCOPED_TRACE(c.host.value_or("(none)"));
    EXPECT_EQ(BridgeConfig::isTrustedSiteHost(c.host), c.expected);
  }
}

// Each value asked both ways: as a page's Origin and as a navigation of the window. The hostile
// ones only begin like an allowed host or port: Boost.URL reads several of them as a loopback or
// site host followed by a path that does not begin with "/", and neither question may take that
// reading.
TEST(BridgeConfigURLs, AllowedAsOriginAndAsNavigation) {
  struct Case {
    std::string_view url;
    bool origin, navigation;
  };
  EXPECT_FALSE(BridgeConfig::isAllowedOrigin(nullopt));
  for (const Case& c : {
           Case{"", false, false},
           Case{" \t\n", false, false},
           Case{"null", false, false},  // no scheme
           Case{"https://game.quillfern.example", true, true},
           Case{"https://game.quillfern.example:8443", true, true},  // any port for the site
           Case{"http://cdn.quillfern-cdn.example", true, true},
           Case{"HTTPS://GAME.QUILLFERN.EXAMPLE", true, true},
           Case{"http://game.quillfern.example/?player=ruffle&app=ios", true, true},
           Case{"https://www.quillfern.example/news", true, true},
           Case{"https://cdn.quillfern-cdn.example/x.swf", true, true},
           Case{"ws://game.quillfern.example", false, false},
           Case{"wss://game.quillfern.example", false, false},
           Case{"https://quillfern.example.evil.test", false, false},
           Case{"http://127.0.0.1:9882", true, true},
           Case{"http://localhost:9882", true, true},
           Case{"http://127.0.0.1:9882/fallback", true, true},
           Case{"http://LocalHost:9882/", true, true},
           Case{"http://127.0.0.1:09882/", true, true},
           Case{"http://LOCALHOST:9882?x", true, true},
           // An origin on loopback without the port is the bridge's page; a navigation is not.
           Case{"http://127.0.0.1", true, false},
           Case{"HTTP://LOCALHOST", true, false},
           Case{"http://127.0.0.1:80/", false, false},
           Case{"http://127.0.0.1:8080", false, false},
           Case{"https://127.0.0.1:9882", false, false},
           Case{"http://127.0.0.2:9882", false, false},
           Case{"http://evil.test", false, false},
           Case{" http://127.0.0.1", false, false},            // the untrimmed value must parse
           Case{"http:game.quillfern.example", false, false},  // no authority, no host
           Case{"http://127.0.0.1:99882", false, false},
           Case{"about:blank", false, false},
           Case{"blob:https://game.quillfern.example/1234", false, false},
           Case{"data:text/html,hi", false, false},
           Case{"file:///etc/passwd", false, false},
           Case{"javascript:alert(1)", false, false},
           Case{"mailto:a@quillfern.example", false, false},
           Case{"https://evil.test/", false, false},
           Case{"/relative/path", false, false},
           // Hostile values.
           Case{"http://127.0.0.1.evil.example", false, false},
           Case{"http://127.0.0.1.evil.example:8080", false, false},
           Case{"http://127.0.0.1-evil.example", false, false},
           Case{"http://127.0.0.1evil.example", false, false},
           Case{"http://127.0.0.1:9882.evil.example", false, false},
           Case{"http://localhost:9882.evil.example", false, false},
           Case{"HTTP://127.0.0.1.EVIL.EXAMPLE:9882", false, false},
           Case{"HTTP://LOCALHOST:9882.EVIL.EXAMPLE", false, false},
           Case{"http://127.0.0.1:9882evil.example/", false, false},
           Case{"http://127.0.0.1:9882.evil.example/fallback", false, false},
           Case{"http://[::1]:9882.evil.example", false, false},
           Case{"https://game.quillfern.example:443.evil.example", false, false},
           Case{"http://localhost.evil.example:9882", false, false},
       }) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(BridgeConfig::isAllowedOrigin(c.url), c.origin);
    const auto parsed = boost::urls::parse_uri_reference(c.url);
    EXPECT_EQ(parsed && BridgeConfig::isAllowedNavigation(*parsed), c.navigation);
  }
}

TEST(BridgeConfigAllowedHost, LoopbackNamesWithTheListeningPortOnly) {
  struct Case {
    std::string_view host;
    std::uint16_t listenPort;
    bool expected;
  };
  for (const Case& c : {
           Case{"127.0.0.1", 9882, true},
           Case{"127.0.0.1:9882", 9882, true},
           Case{"localhost", 9882, true},
           Case{"LocalHost:9882", 9882, true},
           Case{"localhost:40001", 40001, true},
           Case{"localhost:9882", 40001, false},
           Case{"evil.example", 9882, false},
           Case{"evil.example:9882", 9882, false},
           Case{"", 9882, false},
           Case{"127.0.0.1:80", 9882, false},
           Case{"127.0.0.1:09882", 9882, false},
           Case{"[::1]:9882", 9882, false},
       }) {
    SCOPED_TRACE(c.host);
    EXPECT_EQ(BridgeConfig::isAllowedHost(c.host, c.listenPort), c.expected);
  }
}

}  // namespace
}  // namespace quillfern
