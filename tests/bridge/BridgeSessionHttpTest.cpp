#include "BridgeHarness.hpp"

#include <gtest/gtest.h>

namespace quillfern::testing {
namespace {

using namespace std::chrono_literals;

// Each request gets its one answer and its log line, if any, and nothing else: no relay is opened
// for anything refused, nor for bytes behind an answered request, even in the same packet.
TEST(BridgeSessionHttp, EachRequestGetsItsAnswerAndNothingElse) {
  const EchoServer server;
  BridgeHarness harness({targetKey(server.port())});
  const std::string allowed = targetPath(server.port());
  const std::string port = std::to_string(harness.port());
  const std::string health =
      R"(200 OK [application/json; charset=utf-8] {"ok":true,"port":9882,"active":0,"up":0,"down":0})";
  const std::string text = " [text/plain; charset=utf-8] ";
  const std::string notFound = "404 Not Found" + text + "Not found\n";
  const std::string badOrigin = "403 Forbidden" + text + "Origin rejected\n";
  const std::string badHost = "403 Forbidden" + text + "Host rejected\n";
  const std::string badTarget = "403 Forbidden" + text + "Target rejected\n";
  const std::string noKey = "400 Bad Request" + text + "Missing WebSocket key\n";
  const std::string relay = upgradeRequest(allowed);
  const auto get = [](std::string_view path, std::string_view headers) {
    return "GET " + std::string(path) + " HTTP/1.1\r\n" + std::string(headers) + "\r\n";
  };
  const auto upgrade = [&](std::string_view path, std::string_view headers) {
    return get(path, "Upgrade: WebSocket\r\n" + std::string(headers));
  };
  const std::string key = "Sec-WebSocket-Key: k\r\n";
  const std::string siteOrigin = "Origin: https://game.quillfern.example\r\n";
  struct Case {
    std::string request, expected, logLine;
  };
  for (const Case& c : {
           // Routes: the path up to "?", "GET" in any case; only "websocket" makes an upgrade.
           Case{getRequest("/health?x=1"), health, ""},
           Case{"get /health HTTP/1.1\r\n\r\n", health, ""},  // no Host: no browser's, served
           Case{getRequest("/Health"), notFound, ""},
           Case{get("/health", "Upgrade: websocket, h2c\r\n"), health, ""},
           Case{"POST /health HTTP/1.1\r\n\r\n", "", "HTTP 请求无效"},  // closed, no response
           // One request per session: nothing behind it is read.
           Case{getRequest("/health") + relay, health, ""},
           Case{getRequest("/nope") + getRequest("/health"), notFound, ""},
           Case{get("/health", "Content-Length: " + std::to_string(relay.size() + 5)
                                   + "\r\nTransfer-Encoding: chunked\r\n")
                    + relay,
                health, ""},
           Case{upgrade(allowed, "Origin: http://127.0.0.1\r\n" + key + "X: a\r\n Upgrade: x\r\n"),
                "400 Bad Request" + text + "Folded header line\n", "拒绝折行的 HTTP 请求头"},
           // DNS rebinding: a foreign name, even with the bridge's port (BridgeConfig has the
           // rest).
           Case{get("/fallback", "Host: evil.example:" + port + "\r\n"), badHost,
                "拒绝 Host：evil.example:" + port},
           Case{upgrade(allowed, "Host: evil.example\r\nOrigin: http://127.0.0.1\r\n" + key),
                badHost, "拒绝 Host：evil.example"},
           // The upgrade's checks in order: origin, key, target (BridgeConfig has the origins).
           Case{upgrade(allowed, key), badOrigin, "拒绝 Origin：(无)"},
           Case{upgrade(allowed, "Origin: http://evil.example\r\n"), badOrigin,
                "拒绝 Origin：http://evil.example"},
           Case{upgrade(allowed, siteOrigin), noKey, ""},
           Case{upgrade(allowed, siteOrigin + "Sec-WebSocket-Key:  \r\n"), noKey, ""},
           Case{upgrade("/127.0.0.1/1", siteOrigin + key), badTarget, "拒绝目标：/127.0.0.1/1"},
           Case{upgrade("/%zz/80?q", siteOrigin + key), badTarget, "拒绝目标：/%zz/80"},
       }) {
    SCOPED_TRACE(c.request);
    harness.log.clear();
    EXPECT_EQ(harness.exchange(c.request), c.expected);
    EXPECT_EQ(harness.log.lines(),
              c.logLine.empty() ? std::vector<std::string>{}
                                : std::vector<std::string>{"[Quillfern][bridge] " + c.logLine});
  }
  EXPECT_EQ(harness.metrics().lastError, "HTTP 请求无效");  // the POST's
  const std::string page = harness.exchange(getRequest("/"));
  EXPECT_TRUE(page.starts_with("200 OK [text/html; charset=utf-8] <!doctype html>")) << page;
  EXPECT_EQ(harness.exchange(getRequest("/fallback")), page);
  EXPECT_TRUE(harness.settles());
  EXPECT_EQ(server.accepted, 0U);
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

// The deadline is for the request head alone: an upgraded session outlives it.
TEST(BridgeSessionHttp, ATrickleDoesNotPutOffTheHeadDeadline) {
  BridgeHarness harness;
  constexpr auto deadline = 300ms;
  harness.bridge->setRequestTimeout(deadline);
  Peer health(harness.loop, harness.port());
  harness.upgrade(health);
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
  health.send(ws::clientFrame(0x81, "ping"));
  EXPECT_EQ(health.readFrame().payload, "pong");
}

}  // namespace
}  // namespace quillfern::testing
