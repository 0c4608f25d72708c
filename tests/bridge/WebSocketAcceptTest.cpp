#include "bridge/WebSocketAccept.hpp"

#include <gtest/gtest.h>

namespace quillfern {
namespace {

TEST(WebSocketAccept, ChoosesBinaryElseTheFirstOffer) {
  struct Case {
    std::optional<std::string_view> protocols;
    std::optional<std::string> expected;
  };
  for (const Case& c : {
           Case{"chat , Binary", "Binary"},
           Case{"chat, superchat", "chat"},
           Case{"\tbinary\t", "binary"},
           Case{"BINARY,binary", "BINARY"},
           Case{"   ", std::nullopt},
           Case{",,,", std::nullopt},
           Case{"", std::nullopt},
           Case{std::nullopt, std::nullopt},
       }) {
    SCOPED_TRACE(c.protocols.value_or("(absent)"));
    EXPECT_EQ(chooseSubprotocol(c.protocols), c.expected);
  }
}

}  // namespace
}  // namespace quillfern
