#include "BridgeHarness.hpp"

#include <gtest/gtest.h>

namespace quillfern::testing {
namespace {

std::string response(std::string_view code, std::string_view type, std::string_view body) {
  return "HTTP/1.1 " + std::string(code) + "\r\nContent-Type: " + std::string(type)
         + "\r\nContent-Length: " + std::to_string(body.size())
         + "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + std::string(body);
}

std::string exchange(std::uint16_t port, std::string_view request) {
  TestPeer client(port);
  client.send(request);
  return client.readToEnd();
}

TEST(BridgeSessionHttp, RoutesWithExactResponses) {
  BridgeHarness harness;
  const std::string health = response("200 OK", "application/json; charset=utf-8",
                                      R"({"ok":true,"port":9882,"active":0,"up":0,"down":0})");
  const std::string notFound =
      response("404 Not Found", "text/plain; charset=utf-8", "Not found\n");
  struct Case {
    std::string request, expected;
  };
  for (const Case& c : {
           Case{getRequest("/health"), health},
           Case{getRequest("/health?x=1"), health},
           Case{"get /health HTTP/1.1\r\n\r\n", health},
           Case{getRequest("/Health"), notFound},
           Case{getRequest("/fallback/"), notFound},
           Case{getRequest("/nope"), notFound},
           // Only "upgrade: websocket" exactly makes an upgrade.
           Case{"GET /health HTTP/1.1\r\nUpgrade: websocket, h2c\r\n\r\n", health},
       }) {
    SCOPED_TRACE(c.request);
    EXPECT_EQ(exchange(harness.port(), c.request), c.expected);
  }
  EXPECT_TRUE(harness.registryEmpties());
}

TEST(BridgeSessionHttp, FallbackPageAtBothRoutesWithItsUtf8Length) {
  BridgeHarness harness;
  const std::string root = exchange(harness.port(), getRequest("/"));
  const std::string fallback = exchange(harness.port(), getRequest("/fallback"));
  EXPECT_EQ(root, fallback);
  const auto headEnd = root.find("\r\n\r\n") + 4;
  const std::string body = root.substr(headEnd);
  EXPECT_NE(body.find("本地备用启动页"), std::string::npos);
  EXPECT_EQ(root.substr(0, headEnd),
            "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: "
                + std::to_string(body.size())
                + "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n");
}

TEST(BridgeSessionHttp, HeadLimitAt65536Bytes) {
  BridgeHarness harness;
  const std::string start = "GET /health HTTP/1.1\r\nX-Fill: ";
  const std::string filled = start + std::string(65536 - start.size(), 'a');
  {
    // 65,536 bytes without a terminator wait for more.
    TestPeer client(harness.port());
    client.send(filled);
    client.send("\r\n\r\n");
    EXPECT_EQ(client.readHead().substr(0, 15), "HTTP/1.1 200 OK");
  }
  {
    TestPeer client(harness.port());
    client.send(filled + "a");
    EXPECT_TRUE(client.closedByPeer());
  }
  EXPECT_TRUE(harness.log.waitFor("[Quillfern][bridge] HTTP 请求头过大", testDeadline));
  EXPECT_EQ(harness.metrics().lastError, "HTTP 请求头过大");
}

TEST(BridgeSessionHttp, InvalidRequestsCloseWithoutAResponse) {
  BridgeHarness harness;
  for (const std::string request :
       {"POST / HTTP/1.1\r\n\r\n", "HEAD / HTTP/1.1\r\n\r\n", "GET\r\n\r\n"}) {
    SCOPED_TRACE(request);
    EXPECT_EQ(exchange(harness.port(), request), "");
  }
  EXPECT_EQ(harness.metrics().lastError, "HTTP 请求无效");
  EXPECT_TRUE(harness.registryEmpties());
}

TEST(BridgeSessionHttp, SilentClientLeavesNoTrace) {
  BridgeHarness harness;
  {
    TestPeer client(harness.port());
    client.shutdownSend();
    EXPECT_TRUE(client.closedByPeer());
  }
  {
    TestPeer client(harness.port());  // connects and hangs up at once
  }
  EXPECT_TRUE(harness.registryEmpties());
  EXPECT_EQ(harness.metrics().lastError, "");
}

// A session answers one request. Whatever arrives behind it, even in the same packet, is never
// read: no connection and no log line come of it. A folded header line is refused, not read.
TEST(BridgeSessionHttp, AnswersOneRequestAndReadsNothingBehindIt) {
  TestListener server;
  BridgeHarness harness({targetKey(server.port())});
  const std::string health = response("200 OK", "application/json; charset=utf-8",
                                      R"({"ok":true,"port":9882,"active":0,"up":0,"down":0})");
  const std::string notFound =
      response("404 Not Found", "text/plain; charset=utf-8", "Not found\n");
  const std::string relay = upgradeRequest(targetPath(server.port()));
  const std::string smuggled =
      "GET /health HTTP/1.1\r\nContent-Length: " + std::to_string(relay.size() + 5)
      + "\r\nTransfer-Encoding: chunked\r\n\r\n" + relay;
  struct Case {
    std::string request, expected, logLine;
  };
  for (const Case& c : {
           Case{getRequest("/health") + relay, health, ""},
           Case{getRequest("/nothing") + relay, notFound, ""},
           Case{smuggled, health, ""},
           Case{getRequest("/nope") + getRequest("/health"), notFound, ""},
           Case{getRequest("/nope") + upgradeRequest("/127.0.0.1/1"), notFound, ""},
           Case{"GET / HTTP/1.1\r\nUpgrade: websocket\r\n\r\n" + relay,
                response("403 Forbidden", "text/plain; charset=utf-8", "Origin rejected\n"),
                "拒绝 Origin：(无)"},
           Case{"GET " + targetPath(server.port())
                    + " HTTP/1.1\r\nOrigin: http://127.0.0.1\r\nSec-WebSocket-Key: k\r\n"
                      "X-Note: a\r\n Upgrade: websocket\r\n\r\n",
                response("400 Bad Request", "text/plain; charset=utf-8", "Folded header line\n"),
                "拒绝折行的 HTTP 请求头"},
       }) {
    SCOPED_TRACE(c.request);
    harness.log.clear();
    EXPECT_EQ(exchange(harness.port(), c.request), c.expected);
    const auto lines = harness.log.lines();
    EXPECT_EQ(lines.size(), c.logLine.empty() ? 0U : 1U);
    for (const std::string& line : lines) {
      EXPECT_EQ(line, "[Quillfern][bridge] " + c.logLine);
    }
  }
  TestPeer none;
  EXPECT_FALSE(server.acceptWithin(none, std::chrono::milliseconds(100)));  // nothing connected
  EXPECT_EQ(harness.metrics().lastError, "");
}

// DNS rebinding: a page under its own name that resolves to 127.0.0.1 must not read what the
// bridge serves, nor open a relay. Requests without a Host header are no browser's: served.
TEST(BridgeSessionHttp, AnswersOnlyUnderItsOwnNames) {
  TestListener server;
  BridgeHarness harness({targetKey(server.port())});
  const std::string port = std::to_string(harness.port());
  const std::string hostRejected =
      response("403 Forbidden", "text/plain; charset=utf-8", "Host rejected\n");
  const auto withHost = [](std::string_view path, std::string_view host) {
    return "GET " + std::string(path) + " HTTP/1.1\r\nHost: " + std::string(host) + "\r\n\r\n";
  };
  struct Case {
    std::string request;
    bool served;
    std::string host;  // in the log line of a refusal
  };
  for (const Case& c : {
           Case{withHost("/health", "evil.example"), false, "evil.example"},
           Case{withHost("/fallback", "evil.example:" + port), false, "evil.example:" + port},
           Case{withHost("/health", "127.0.0.1:1"), false, "127.0.0.1:1"},
           Case{withHost("/health", ""), false, ""},
           Case{"GET " + targetPath(server.port())
                    + " HTTP/1.1\r\nHost: evil.example\r\nUpgrade: websocket\r\n"
                      "Origin: http://127.0.0.1\r\nSec-WebSocket-Key: k\r\n\r\n",
                false, "evil.example"},
           Case{withHost("/health", "127.0.0.1:" + port), true, ""},
           Case{"GET /health HTTP/1.1\r\n\r\n", true, ""},
       }) {
    SCOPED_TRACE(c.request);
    harness.log.clear();
    const std::string received = exchange(harness.port(), c.request);
    if (c.served) {
      EXPECT_TRUE(received.starts_with("HTTP/1.1 200 OK\r\n"));
      EXPECT_EQ(harness.log.lines(), std::vector<std::string>{});
    } else {
      EXPECT_EQ(received, hostRejected);
      EXPECT_EQ(harness.log.lines(),
                std::vector<std::string>{"[Quillfern][bridge] 拒绝 Host：" + c.host});
    }
  }
  TestPeer none;
  EXPECT_FALSE(server.acceptWithin(none, std::chrono::milliseconds(100)));  // nothing connected
}

TEST(BridgeSessionHttp, HalfClosedClientStillGetsItsResponse) {
  BridgeHarness harness;
  TestPeer client(harness.port());
  client.send(getRequest("/nope"));
  client.shutdownSend();
  EXPECT_EQ(client.readToEnd(),
            response("404 Not Found", "text/plain; charset=utf-8", "Not found\n"));
}

TEST(BridgeSessionHttp, UnfinishedRequestHeadsAreCutOffAtTheDeadline) {
  BridgeHarness harness;
  constexpr auto deadline = std::chrono::milliseconds(300);
  harness.bridge->setRequestTimeout(deadline);
  const std::string line = "请求头未在时限内到齐，已断开连接";
  // Each case's parts are sent a third of the deadline apart: a trickle does not extend it.
  for (const std::vector<std::string>& parts : std::vector<std::vector<std::string>>{
           {},
           {"GET /health HTTP/1.1\r\n"},
           {"G", "ET /fall", "back HTTP/1.1\r\nHost: x\r\n", "\r"},
       }) {
    SCOPED_TRACE(parts.size());
    harness.log.clear();
    TestPeer client(harness.port());
    for (const std::string& part : parts) {
      client.send(part);
      std::this_thread::sleep_for(deadline / 3);
    }
    EXPECT_EQ(client.readToEnd(), "");  // closed without a response
    EXPECT_TRUE(harness.log.waitFor("[Quillfern][bridge] " + line, testDeadline));
    EXPECT_EQ(harness.metrics().lastError, line);
  }
  EXPECT_TRUE(harness.registryEmpties());
}

TEST(BridgeSessionHttp, NoDeadlineOnceAnsweredOrUpgraded) {
  BridgeHarness harness;
  constexpr auto deadline = std::chrono::milliseconds(100);
  harness.bridge->setRequestTimeout(deadline);
  TestPeer health(harness.port());
  health.send(upgradeRequest("/health"));
  EXPECT_EQ(health.readHead(), switchingProtocols());
  TestPeer page(harness.port());
  page.send(getRequest("/fallback"));
  std::this_thread::sleep_for(deadline * 3);
  health.sendFrame(0x81, "ping");
  EXPECT_EQ(health.readFrame().payload, "pong");
  EXPECT_NE(page.readToEnd().find("本地备用启动页"), std::string::npos);
  EXPECT_EQ(harness.metrics().lastError, "");
}

}  // namespace
}  // namespace quillfern::testing
