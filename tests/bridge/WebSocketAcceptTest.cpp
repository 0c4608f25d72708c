#include "bridge/WebSocketAccept.hpp"

#include <gtest/gtest.h>

namespace quillfern {
namespace {

TEST(WebSocketAccept, ValueOfTheRfcExample) {
  EXPECT_EQ(webSocketAcceptValue("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

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

TEST(WebSocketAccept, ResponseWithAndWithoutProtocol) {
  EXPECT_EQ(webSocketAcceptResponse("dGhlIHNhbXBsZSBub25jZQ==", std::nullopt),
            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
  EXPECT_EQ(webSocketAcceptResponse("k", "chat, Binary"),
            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Accept: cai0HFWL7DEHZkyHxdyv1Pn3R6M=\r\n"
            "Sec-WebSocket-Protocol: Binary\r\n\r\n");
}

}  // namespace
}  // namespace quillfern
