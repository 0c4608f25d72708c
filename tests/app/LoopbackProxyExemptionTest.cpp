#include "app/LoopbackProxyExemption.hpp"

#include "support/ScopedEnvironment.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace quillfern {
namespace {

std::optional<std::string> variable(const char* name) {
  const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe)
  return value == nullptr ? std::nullopt : std::optional<std::string>(value);
}

TEST(LoopbackProxyExemption, AddsTheLoopbackNamesThatAreMissing) {
  using Value = std::optional<std::string>;
  struct Case {
    Value lower, upper, expectedLower, expectedUpper;
  };
  const Value none;
  const std::string all = "127.0.0.1,localhost,::1";
  for (const Case& c : {
           Case{none, none, all, all},
           Case{"corp.example", none, "corp.example," + all, none},
           Case{none, " LOCALHOST , 127.0.0.1,", none, "LOCALHOST , 127.0.0.1,::1"},
           Case{"*", "", "*," + all, all},
           Case{"127.0.0.1:9882,[::1]", none, "127.0.0.1:9882,[::1]," + all, none},
       }) {
    SCOPED_TRACE(c.lower.value_or("(unset)") + " / " + c.upper.value_or("(unset)"));
    const testing::ScopedEnvironment environment({{"no_proxy", c.lower}, {"NO_PROXY", c.upper}});
    exemptLoopbackFromProxies();
    EXPECT_EQ(variable("no_proxy"), c.expectedLower);
    EXPECT_EQ(variable("NO_PROXY"), c.expectedUpper);
  }
}

}  // namespace
}  // namespace quillfern
