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

TEST(BridgeConfigAllowedOrigin, TrustedSitesAndTheBridgeOnLoopback) {
  struct Case {
    std::optional<std::string_view> origin;
    bool expected;
  };
  for (const Case& c : {
           Case{nullopt, false},
           Case{"", false},
           Case{" \t\n", false},
           Case{"null", false},  // no scheme
           Case{"https://game.quillfern.example", true},
           Case{"https://game.quillfern.example:8443", true},  // port ignored for the site
           Case{"http://cdn.quillfern-cdn.example", true},
           Case{"HTTPS://GAME.QUILLFERN.EXAMPLE", true},
           Case{"ws://game.quillfern.example", false},
           Case{"wss://game.quillfern.example", false},
           Case{"https://quillfern.example.evil.test", false},
           Case{"http://127.0.0.1:9882", true},
           Case{"http://localhost:9882", true},
           Case{"http://127.0.0.1", true},
           Case{"HTTP://LOCALHOST", true},
           Case{"http://127.0.0.1:8080", false},
           Case{"https://127.0.0.1:9882", false},
           Case{"http://127.0.0.2:9882", false},
           Case{"http://evil.test", false},
           Case{" http://127.0.0.1", false},            // the untrimmed value must parse
           Case{"http:game.quillfern.example", false},  // no authority, no host
           Case{"http://127.0.0.1:99882", false},
       }) {
    SCOPED_TRACE(c.origin.value_or("(none)"));
    EXPECT_EQ(BridgeConfig::isAllowedOrigin(c.origin), c.expected);
  }
}

TEST(BridgeConfigAllowedNavigation, SiteAndBridgePagesOnly) {
  struct Case {
    std::string_view url;
    bool expected;
  };
  for (const Case& c : {
           Case{"http://game.quillfern.example/?player=ruffle&app=ios", true},
           Case{"https://www.quillfern.example/news", true},
           Case{"https://cdn.quillfern-cdn.example/x.swf", true},
           Case{"http://127.0.0.1:9882/fallback", true},
           Case{"http://LocalHost:9882/", true},
           Case{"http://127.0.0.1/", false},
           Case{"http://127.0.0.1:80/", false},
           Case{"https://127.0.0.1:9882/", false},
           Case{"http://127.0.0.1:09882/", true},
           Case{"about:blank", false},
           Case{"blob:https://game.quillfern.example/1234", false},
           Case{"data:text/html,hi", false},
           Case{"file:///etc/passwd", false},
           Case{"javascript:alert(1)", false},
           Case{"mailto:a@quillfern.example", false},
           Case{"https://evil.test/", false},
           Case{"/relative/path", false},
       }) {
    SCOPED_TRACE(c.url);
    const auto parsed = boost::urls::parse_uri_reference(c.url);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(BridgeConfig::isAllowedNavigation(*parsed), c.expected);
  }
}

// Values that only begin like an allowed host or port. Boost.URL reads several of them as a
// loopback or site host followed by a path that does not begin with "/"; neither predicate may
// take that reading.
TEST(BridgeConfigHostileURLs, RefusedAsOriginsAndAsNavigation) {
  struct Case {
    std::string_view url;
    bool expected;  // the same for both predicates
  };
  for (const Case& c : {
           Case{"http://127.0.0.1.evil.example", false},
           Case{"http://127.0.0.1.evil.example:8080", false},
           Case{"http://127.0.0.1-evil.example", false},
           Case{"http://127.0.0.1evil.example", false},
           Case{"http://127.0.0.1:9882.evil.example", false},
           Case{"http://localhost:9882.evil.example", false},
           Case{"HTTP://127.0.0.1.EVIL.EXAMPLE:9882", false},
           Case{"HTTP://LOCALHOST:9882.EVIL.EXAMPLE", false},
           Case{"http://127.0.0.1:9882evil.example/", false},
           Case{"http://127.0.0.1:9882.evil.example/fallback", false},
           Case{"http://[::1]:9882.evil.example", false},
           Case{"https://game.quillfern.example:443.evil.example", false},
           Case{"http://localhost.evil.example:9882", false},
           Case{"http://127.0.0.1:9882/fallback", true},
           Case{"http://LOCALHOST:9882?x", true},
           Case{"https://game.quillfern.example:8443/", true},
       }) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(BridgeConfig::isAllowedOrigin(c.url), c.expected);
    const auto parsed = boost::urls::parse_uri_reference(c.url);
    EXPECT_EQ(parsed && BridgeConfig::isAllowedNavigation(*parsed), c.expected);
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
