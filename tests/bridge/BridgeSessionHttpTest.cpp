#include "BridgeHarness.hpp"

#include <gtest/gtest.h>

namespace quillfern::testing {
namespace {

using namespace std::chrono_literals;

TEST(BridgeSessionHttp, RoutesAndRefusals) {
  BridgeHarness harness;
  const std::string health =
      R"(200 OK [application/json; charset=utf-8] {"ok":true,"port":9882,"active":0,"up":0,"down":0})";
  const std::string notFound = "404 Not Found [text/plain; charset=utf-8] Not found\n";
  struct Case {
    std::string request, expected;
  };
  for (const Case& c : {
           Case{getRequest("/health"), health}, Case{getRequest("/health?x=1"), health},
           Case{"get /health HTTP/1.1\r\n\r\n", health}, Case{getRequest("/Health"), notFound},
           Case{getRequest("/fallback/"), notFound},
           // Only "upgrade: websocket" exactly makes an upgrade.
           Case{"GET /health HTTP/1.1\r\nUpgrade: websocket, h2c\r\n\r\n", health},
           Case{"POST /health HTTP/1.1\r\n\r\n", ""},  // closed without a response
       }) {
    SCOPED_TRACE(c.request);
    EXPECT_EQ(harness.exchange(c.request), c.expected);
  }
  EXPECT_EQ(harness.metrics().lastError, "HTTP 请求无效");
  const std::string page = harness.exchange(getRequest("/"));
  EXPECT_TRUE(page.starts_with("200 OK [text/html; charset=utf-8] <!doctype html>")) << page;
  EXPECT_EQ(harness.exchange(getRequest("/fallback")), page);
  EXPECT_TRUE(harness.settles());
}

// A session answers one request. Whatever arrives behind it, even in the same packet, is never
// read: no connection and no log line come of it. A folded header line is refused, not read.
TEST(BridgeSessionHttp, AnswersOneRequestAndReadsNothingBehindIt) {
  Loop serverLoop;
  Listener server(serverLoop);
  BridgeHarness harness({targetKey(server.port())});
  const std::string health =
      R"(200 OK [application/json; charset=utf-8] {"ok":true,"port":9882,"active":0,"up":0,"down":0})";
  const std::string notFound = "404 Not Found [text/plain; charset=utf-8] Not found\n";
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
           Case{"GET / HTTP/1.1\r\nUpgrade: websocket\r\n\r\n" + relay,
                "403 Forbidden [text/plain; charset=utf-8] Origin rejected\n", "拒绝 Origin：(无)"},
           Case{"GET " + targetPath(server.port())
                    + " HTTP/1.1\r\nOrigin: http://127.0.0.1\r\nSec-WebSocket-Key: k\r\n"
                      "X-Note: a\r\n Upgrade: websocket\r\n\r\n",
                "400 Bad Request [text/plain; charset=utf-8] Folded header line\n",
                "拒绝折行的 HTTP 请求头"},
       }) {
    SCOPED_TRACE(c.request);
    harness.log.clear();
    EXPECT_EQ(harness.exchange(c.request), c.expected);
    EXPECT_EQ(harness.log.lines(),
              c.logLine.empty() ? std::vector<std::string>{}
                                : std::vector<std::string>{"[Quillfern][bridge] " + c.logLine});
  }
  Peer none(serverLoop);
  EXPECT_FALSE(server.acceptWithin(none, 100ms));  // nothing connected
  EXPECT_EQ(harness.metrics().lastError, "");
}

// DNS rebinding: a page under its own name that resolves to 127.0.0.1 must not read what the
// bridge serves, nor open a relay. Requests without a Host header are no browser's: served.
TEST(BridgeSessionHttp, AnswersOnlyUnderItsOwnNames) {
  Loop serverLoop;
  Listener server(serverLoop);
  BridgeHarness harness({targetKey(server.port())});
  const std::string port = std::to_string(harness.port());
  const auto withHost = [](std::string_view path, std::string_view host) {
    return "GET " + std::string(path) + " HTTP/1.1\r\nHost: " + std::string(host) + "\r\n\r\n";
  };
  struct Case {
    std::string request;
    std::string refusal;  // the log line of the refusal; empty when served
  };
  for (const Case& c : {
           Case{withHost("/health", "evil.example"), "拒绝 Host：evil.example"},
           Case{withHost("/fallback", "evil.example:" + port), "拒绝 Host：evil.example:" + port},
           Case{withHost("/health", "127.0.0.1:1"), "拒绝 Host：127.0.0.1:1"},
           Case{withHost("/health", ""), "拒绝 Host："},
           Case{"GET " + targetPath(server.port())
                    + " HTTP/1.1\r\nHost: evil.example\r\nUpgrade: websocket\r\n"
                      "Origin: http://127.0.0.1\r\nSec-WebSocket-Key: k\r\n\r\n",
                "拒绝 Host：evil.example"},
           Case{withHost("/health", "LOCALHOST:" + port), ""},
           Case{"GET /health HTTP/1.1\r\n\r\n", ""},
       }) {
    SCOPED_TRACE(c.request);
    harness.log.clear();
    const std::string received = harness.exchange(c.request);
    if (c.refusal.empty()) {
      EXPECT_TRUE(received.starts_with("200 OK")) << received;
      EXPECT_EQ(harness.log.lines(), std::vector<std::string>{});
    } else {
      EXPECT_EQ(received, "403 Forbidden [text/plain; charset=utf-8] Host rejected\n");
      EXPECT_EQ(harness.log.lines(), std::vector<std::string>{"[Quillfern][bridge] " + c.refusal});
    }
  }
  Peer none(serverLoop);
  EXPECT_FALSE(server.acceptWithin(none, 100ms));  // nothing connected
}

TEST(BridgeSessionHttp, HalfClosedClientStillGetsItsResponse) {
  BridgeHarness harness;
  Peer client(harness.loop, harness.port());
  client.send(getRequest("/nope"));
  client.shutdownSend();
  EXPECT_TRUE(client.readToEnd().starts_with("HTTP/1.1 404 Not Found\r\n"));
}

TEST(BridgeSessionHttp, HeadLimitAt65536Bytes) {
  BridgeHarness harness;
  const std::string start = "GET /health HTTP/1.1\r\nX-Fill: ";
  const std::string filled = start + std::string(65536 - start.size(), 'a');
  {
    // 65,536 bytes without a terminator wait for more.
    Peer client(harness.loop, harness.port());
    client.send(filled);
    client.send("\r\n\r\n");
    EXPECT_EQ(client.readHead().substr(0, 15), "HTTP/1.1 200 OK");
  }
  Peer client(harness.loop, harness.port());
  client.send(filled + "a");
  EXPECT_EQ(client.readToEnd(), "");
  EXPECT_TRUE(harness.log.waitFor("[Quillfern][bridge] HTTP 请求头过大"));
  EXPECT_EQ(harness.metrics().lastError, "HTTP 请求头过大");
}

TEST(BridgeSessionHttp, ATrickleDoesNotPutOffTheHeadDeadline) {
  BridgeHarness harness;
  constexpr auto deadline = 300ms;
  harness.bridge->setRequestTimeout(deadline);
  Peer client(harness.loop, harness.port());
  client.keepReading();
  // One byte every quarter of the deadline, never the whole head: a deadline that each byte
  // put off would never pass.
  const std::string request = getRequest("/health");
  for (std::size_t sent = 0; sent + 1 < request.size() && !client.ended(); ++sent) {
    client.send(request.substr(sent, 1));
    harness.loop.runFor(deadline / 4);
  }
  EXPECT_TRUE(client.ended());
  EXPECT_EQ(client.readToEnd(), "");  // closed without a response
  const std::string line = "请求头未在时限内到齐，已断开连接";
  EXPECT_TRUE(harness.log.waitFor("[Quillfern][bridge] " + line));
  EXPECT_EQ(harness.metrics().lastError, line);
}

TEST(BridgeSessionHttp, NoDeadlineOnceAnsweredOrUpgraded) {
  BridgeHarness harness;
  constexpr auto deadline = 100ms;
  harness.bridge->setRequestTimeout(deadline);
  Peer health(harness.loop, harness.port());
  harness.upgrade(health);
  Peer page(harness.loop, harness.port());
  page.send(getRequest("/fallback"));
  harness.loop.runFor(deadline * 3);
  health.send(ws::clientFrame(0x81, "ping"));
  EXPECT_EQ(health.readFrame().payload, "pong");
  EXPECT_NE(page.readToEnd().find("本地备用启动页"), std::string::npos);
  EXPECT_EQ(harness.metrics().lastError, "");
}

}  // namespace
}  // namespace quillfern::testing
