#include "BridgeHarness.hpp"

#include <gtest/gtest.h>

namespace quillfern::testing {
namespace {

std::string upgradeWith(std::string_view path, std::string_view headers) {
  return "GET " + std::string(path) + " HTTP/1.1\r\nUpgrade: WebSocket\r\n" + std::string(headers)
         + "\r\n";
}

TEST(BridgeSessionHandshake, RefusalsInOrderOfTheChecks) {
  Loop serverLoop;
  Listener server(serverLoop);
  const std::string allowed = targetPath(server.port());
  BridgeHarness harness({targetKey(server.port())});
  const std::string key = "Sec-WebSocket-Key: k\r\n";
  const std::string origin = "Origin: https://game.quillfern.example\r\n";
  const std::string originRejected = "403 Forbidden [text/plain; charset=utf-8] Origin rejected\n";
  const std::string targetRejected = "403 Forbidden [text/plain; charset=utf-8] Target rejected\n";
  const std::string missingKey =
      "400 Bad Request [text/plain; charset=utf-8] Missing WebSocket key\n";
  struct Case {
    std::string request, expected, logLine;
  };
  for (const Case& c : {
           Case{upgradeWith(allowed, key), originRejected, "拒绝 Origin：(无)"},
           Case{upgradeWith(allowed, "Origin: http://evil.example\r\n"), originRejected,
                "拒绝 Origin：http://evil.example"},
           Case{upgradeWith("/health", "Origin: http://127.0.0.1:8080\r\n" + key), originRejected,
                "拒绝 Origin：http://127.0.0.1:8080"},
           // Values the URL library reads as a loopback host followed by a path.
           Case{upgradeWith(allowed, "Origin: http://127.0.0.1.evil.example\r\n" + key),
                originRejected, "拒绝 Origin：http://127.0.0.1.evil.example"},
           Case{upgradeWith(allowed, "Origin: http://localhost:9882.evil.example\r\n" + key),
                originRejected, "拒绝 Origin：http://localhost:9882.evil.example"},
           Case{upgradeWith(allowed, origin), missingKey, ""},
           Case{upgradeWith(allowed, origin + "Sec-WebSocket-Key:  \r\n"), missingKey, ""},
           Case{upgradeWith("/127.0.0.1/1", origin + key), targetRejected,
                "拒绝目标：/127.0.0.1/1"},
           Case{upgradeWith("/%zz/80?q", origin + key), targetRejected, "拒绝目标：/%zz/80"},
       }) {
    SCOPED_TRACE(c.request);
    harness.log.clear();
    EXPECT_EQ(harness.exchange(c.request), c.expected);
    const auto lines = harness.log.lines();
    if (c.logLine.empty()) {
      EXPECT_TRUE(lines.empty());
    } else {
      EXPECT_EQ(lines, std::vector<std::string>{"[Quillfern][bridge] " + c.logLine});
    }
  }
  Peer none(serverLoop);
  EXPECT_FALSE(server.acceptWithin(none, std::chrono::milliseconds(100)));  // nothing connected
}

TEST(BridgeSessionHandshake, AnswersWithTheChosenSubprotocol) {
  BridgeHarness harness;
  Peer client(harness.loop, harness.port());
  client.send(upgradeRequest("/health", "Sec-WebSocket-Protocol: chat , Binary\r\n"));
  EXPECT_EQ(client.readHead(),
            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"
            "Sec-WebSocket-Protocol: Binary\r\n\r\n");
}

}  // namespace
}  // namespace quillfern::testing
