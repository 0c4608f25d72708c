#include "BridgeHarness.hpp"

#include <gtest/gtest.h>

namespace quillfern::testing {
namespace {

std::string refusal(std::string_view code, std::string_view body) {
  return "HTTP/1.1 " + std::string(code)
         + "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: "
         + std::to_string(body.size()) + "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n"
         + std::string(body);
}

std::string upgradeWith(std::string_view path, std::string_view headers) {
  return "GET " + std::string(path) + " HTTP/1.1\r\nUpgrade: WebSocket\r\n" + std::string(headers)
         + "\r\n";
}

TEST(BridgeSessionHandshake, HealthSocketGetsTheExact101) {
  BridgeHarness harness;
  TestPeer client(harness.port());
  client.send(upgradeRequest("/health?t=1"));
  EXPECT_EQ(client.readHead(), switchingProtocols());
}

TEST(BridgeSessionHandshake, NamesTheChosenSubprotocol) {
  BridgeHarness harness;
  TestPeer client(harness.port());
  client.send(upgradeRequest("/health", "Sec-WebSocket-Protocol: chat , Binary\r\n"));
  EXPECT_EQ(client.readHead(),
            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"
            "Sec-WebSocket-Protocol: Binary\r\n\r\n");
}

TEST(BridgeSessionHandshake, RefusalsInOrderOfTheChecks) {
  TestListener server;
  const std::string allowed = "/127.0.0.1/" + std::to_string(server.port());
  BridgeHarness harness({"127.0.0.1:" + std::to_string(server.port())});
  const std::string key = "Sec-WebSocket-Key: k\r\n";
  const std::string origin = "Origin: https://game.quillfern.example\r\n";
  const std::string originRejected = refusal("403 Forbidden", "Origin rejected\n");
  const std::string targetRejected = refusal("403 Forbidden", "Target rejected\n");
  const std::string missingKey = refusal("400 Bad Request", "Missing WebSocket key\n");
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
           Case{upgradeWith("/abc/80/", origin + key), targetRejected, "拒绝目标：/abc/80/"},
           Case{upgradeWith("/%zz/80?q", origin + key), targetRejected, "拒绝目标：/%zz/80"},
           Case{upgradeWith("/", origin + key), targetRejected, "拒绝目标：/"},
       }) {
    SCOPED_TRACE(c.request);
    harness.log.clear();
    TestPeer client(harness.port());
    client.send(c.request);
    EXPECT_EQ(client.readToEnd(), c.expected);
    const auto lines = harness.log.lines();
    if (c.logLine.empty()) {
      EXPECT_TRUE(lines.empty());
    } else {
      EXPECT_EQ(lines, std::vector<std::string>{"[Quillfern][bridge] " + c.logLine});
    }
  }
  TestPeer none;
  EXPECT_FALSE(server.acceptWithin(none, std::chrono::milliseconds(100)));  // nothing connected
}

TEST(BridgeSessionHandshake, AllowedTargetGets101ThenTheConnection) {
  TestListener server;
  BridgeHarness harness({"127.0.0.1:" + std::to_string(server.port())});
  TestPeer client(harness.port());
  // The host is matched lower-cased and the port without its leading zeros.
  client.send(upgradeRequest("/127.0.0.1/0" + std::to_string(server.port()) + "?x=1"));
  EXPECT_EQ(client.readHead(), switchingProtocols());
  TestPeer remote;
  server.accept(remote);
}

TEST(BridgeSessionHandshake, FramesBehindTheRequestAreReadAsFrames) {
  BridgeHarness harness;
  TestPeer client(harness.port());
  client.send(upgradeRequest("/health") + maskedFrame(0x89, "abc"));
  EXPECT_EQ(client.readHead(), switchingProtocols());
  EXPECT_EQ(client.readFrame().header, bytes({0x8A, 3}));
}

}  // namespace
}  // namespace quillfern::testing
