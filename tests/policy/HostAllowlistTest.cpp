#include "policy/HostAllowlist.hpp"

#include "support/LogCapture.hpp"
#include "support/MemoryStore.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace quillfern {
namespace {

using Keys = std::vector<std::string>;

Keys sortedKeys(const std::unordered_set<std::string>& set) {
  Keys keys(set.begin(), set.end());
  std::sort(keys.begin(), keys.end());
  return keys;
}

TEST(HostAllowlistParse, NormalisesOrDropsEachEntry) {
  struct Case {
    std::string entry;
    Keys expected;
  };
  for (const Case& c : {
           Case{"  Game.EXAMPLE:0443 \n", {"game.example:443"}},
           Case{"game.example", {}},
           Case{":443", {}},
           Case{"game.example:", {}},
           Case{"game.example:0", {}},
           Case{"game.example:65536", {}},
           Case{"game.example:65535", {"game.example:65535"}},
           Case{"game.example:+80", {"game.example:80"}},
           Case{"game.example:-80", {}},
           Case{"game.example:-0", {}},
           Case{"game.example:+", {}},
           Case{"game.example:++80", {}},
           Case{"game.example: 80", {}},
           Case{"game.example:80 ", {"game.example:80"}},
           Case{"a:b:80", {"a:b:80"}},
           Case{"[::1]:8080", {"[::1]:8080"}},
           Case{"http://x:80", {"http://x:80"}},  // a scheme stays part of the host
           Case{"in ner:1", {"in ner:1"}},
           Case{"game.example:000000000000000080", {"game.example:80"}},
           Case{"game.example:99999999999999999999", {}},
           Case{"game.example:８０", {}},                 // full-width digits are not ASCII digits
           Case{"\u3000\u2028x:1\u0085\u00a0", {"x:1"}},  // Zs, Zl, NEL and NBSP are trimmed
           Case{"\u200bx:1", {"\u200bx:1"}},              // ZERO WIDTH SPACE is Cf, not white space
           Case{"ÄRGER.example:1", {"ärger.example:1"}},
           Case{"İ:1", {"i\u0307:1"}},  // full default mapping, not Turkish
       }) {
    SCOPED_TRACE(c.entry);
    EXPECT_EQ(sortedKeys(HostAllowlist::parse(Keys{c.entry})), c.expected);
  }
}

// The cached list replaces the built-in one when it yields an entry; hosts match lower-cased and
// ports exactly.
TEST(HostAllowlistCache, ReplacesTheBuiltInSetOnlyWhenItYieldsAnEntry) {
  const Keys builtIn = sortedKeys(HostAllowlist::defaults());
  struct Case {
    std::string name;
    std::optional<Keys> cached;
    Keys expected;
    std::vector<std::string> logged;
    bool allowsGame = false;  // game.example:1863, asked as GAME.example
  };
  for (const Case& c : {
           Case{"absent", std::nullopt, builtIn, {}},
           Case{"empty", Keys{}, builtIn, {}},
           Case{"all invalid", Keys{"x", ":1", "y:0"}, builtIn, {}},
           Case{"two after dedup",
                Keys{"bad", " Game.Example:01863 ", "b:2", "game.example:1863"},
                {"b:2", "game.example:1863"},
                {"[Quillfern][hosts] 已载入缓存白名单，共 2 条"},
                true},
       }) {
    SCOPED_TRACE(c.name);
    auto store = std::make_shared<testing::MemoryStore>();
    if (c.cached) {
      store->values[std::string(HostAllowlist::cacheKey)] = *c.cached;
    }
    const testing::LogCapture capture;
    const HostAllowlist allowlist(store, nullptr);
    EXPECT_EQ(allowlist.sortedHosts(), c.expected);
    EXPECT_EQ(capture.lines(), c.logged);
    EXPECT_EQ(allowlist.allows("GAME.example", 1863), c.allowsGame);
    EXPECT_FALSE(allowlist.allows("game.example", 1864));
    EXPECT_EQ(allowlist.allows("192.0.2.10", 1863), c.expected == builtIn);
  }
}

}  // namespace
}  // namespace quillfern
