// Peers that vanish at the worst moment, and stop() in the middle of everything: the bridge
// logs what the failure was, lets go of the session and keeps serving.

#include "BridgeHarness.hpp"
#include "EchoServer.hpp"
#include "RelayClient.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <list>
#include <memory>
#include <set>
#include <thread>

namespace quillfern::testing {
namespace {

using std::chrono::milliseconds;

const std::string readReset =
    "[Quillfern][bridge] 读取本地 WebSocket 失败：Connection reset by peer";
const std::string writeReset =
    "[Quillfern][bridge] 写入本地 WebSocket 失败：Connection reset by peer";
const std::string writeBrokenPipe = "[Quillfern][bridge] 写入本地 WebSocket 失败：Broken pipe";
const std::string downReset = "[Quillfern][bridge] TCP 下行失败：Connection reset by peer";
const std::string upReset = "[Quillfern][bridge] TCP 上行失败：Connection reset by peer";
const std::string upBrokenPipe = "[Quillfern][bridge] TCP 上行失败：Broken pipe";

// The text a failure line stores as the bridge's last error: what follows the tag and a space.
std::string messageOf(std::string_view line) {
  return std::string(line.substr(line.find("] ") + 2));
}

// Lines of the bridge and its connections other than the allowed ones, the listener's and the
// connected ones.
std::vector<std::string> unexpectedLines(const std::vector<std::string>& lines,
                                         const std::set<std::string>& allowed) {
  std::vector<std::string> unexpected;
  for (const std::string& line : lines) {
    const bool bridgeLine =
        line.starts_with("[Quillfern][bridge] ") || line.starts_with("[Quillfern][tcp] ");
    if (bridgeLine && !allowed.contains(line)
        && !line.starts_with("[Quillfern][tcp] 已连接 127.0.0.1:")
        && !line.starts_with("[Quillfern][bridge] 已监听 ws://127.0.0.1:")) {
      unexpected.push_back(line);
    }
  }
  return unexpected;
}

// A client on the health socket, with its 101 read.
void upgradeToHealth(TestPeer& client) {
  client.send(upgradeRequest("/health"));
  EXPECT_EQ(client.readHead(), switchingProtocols());
}

// A client relayed to server, with its 101 read and the connection to the server ready.
void upgradeToRelay(TestPeer& client, const EchoServer& server) {
  const std::uint64_t before = server.counts().accepted;
  client.send(upgradeRequest(targetPath(server.port())));
  EXPECT_EQ(client.readHead(), switchingProtocols());
  EXPECT_TRUE(eventually([&] { return server.counts().accepted > before; }));
}

// The first part of a frame whose payload has not arrived.
std::string halfFrame() {
  return maskedFrame(0x82, std::string(300, 'h')).substr(0, 100);
}

TEST(BridgeFault, ClientResetsMidHandshakeMidFrameAndMidResponse) {
  EchoServer server;
  BridgeHarness harness({targetKey(server.port())});
  struct Case {
    std::string_view name;
    std::function<void(TestPeer&)> drive;  // brings the client to the moment of its reset
    std::set<std::string> required;        // bridge failure lines that must be logged
    std::set<std::string> allowed;         // lines that may be logged, depending on timing
  };
  const std::string upgrade = upgradeRequest(targetPath(server.port()));
  const std::set<std::string> responseLost = {readReset, writeReset, writeBrokenPipe};
  const std::string rejected = "[Quillfern][bridge] 拒绝目标：/127.0.0.1/1";
  for (const Case& c : {
           Case{"half a request line",
                [](TestPeer& client) { client.send("GET /hea"); },
                {readReset},
                {}},
           Case{"an upgrade head short of its last CR LF",
                [&](TestPeer& client) { client.send(upgrade.substr(0, upgrade.size() - 2)); },
                {readReset},
                {}},
           Case{"the 101 of the health socket unread",
                [](TestPeer& client) { client.send(upgradeRequest("/health")); },
                {},
                responseLost},
           Case{"the 101 of a relay unread",
                [&](TestPeer& client) { client.send(upgrade); },
                {},
                responseLost},
           Case{"the health document unread",
                [](TestPeer& client) { client.send(getRequest("/health")); },
                {},
                responseLost},
           Case{"the fallback page unread",
                [](TestPeer& client) { client.send(getRequest("/fallback")); },
                {},
                responseLost},
           Case{"a 403 unread",
                [](TestPeer& client) { client.send(upgradeRequest("/127.0.0.1/1")); },
                {rejected},
                responseLost},
           Case{"half a frame on the health socket",
                [](TestPeer& client) {
                  upgradeToHealth(client);
                  client.send(halfFrame());
                },
                {readReset},
                {}},
           Case{"half a 16-bit length on the health socket",
                [](TestPeer& client) {
                  upgradeToHealth(client);
                  client.send(bytes({0x82, 0xFE, 0x01}));
                },
                {readReset},
                {}},
           Case{"half a frame on a relay",
                [&](TestPeer& client) {
                  upgradeToRelay(client, server);
                  client.sendFrame(0x82, "echo me");
                  EXPECT_EQ(client.readFrame().payload, "echo me");
                  client.send(halfFrame());
                },
                {readReset},
                {}},
           Case{"half a continuation on a relay",
                [&](TestPeer& client) {
                  upgradeToRelay(client, server);
                  client.sendFrame(0x01, "first part, ");
                  client.send(maskedFrame(0x80, "second part").substr(0, 9));
                },
                {readReset},
                {}},
       }) {
    SCOPED_TRACE(c.name);
    harness.log.clear();
    {
      TestPeer client(harness.port());
      ASSERT_TRUE(eventually([&] { return harness.bridge->sessionCount() == 1; }));
      c.drive(client);
      client.reset();
    }
    ASSERT_TRUE(harness.registryEmpties());
    const std::vector<std::string> lines = harness.log.lines();
    for (const std::string& line : c.required) {
      EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
    }
    std::set<std::string> allowed = c.allowed;
    allowed.insert(c.required.begin(), c.required.end());
    EXPECT_EQ(unexpectedLines(lines, allowed), std::vector<std::string>{});
    const auto failure = std::find_if(lines.rbegin(), lines.rend(), [&](const std::string& line) {
      return line != rejected && allowed.contains(line);
    });
    if (failure != lines.rend()) {
      EXPECT_EQ(harness.metrics().lastError, messageOf(*failure));
    }
    EXPECT_EQ(harness.metrics().active, 0);
    EXPECT_TRUE(server.allConnectionsEnd());
    EXPECT_TRUE(harness.answersHealth());
  }
}

TEST(BridgeFault, GameServerResetsWhileDataFlowsBothWays) {
  const std::string message = patternedBytes(16384, 7);
  const std::string frame = maskedFrame(0x82, message);
  for (const std::uint64_t resetAfter :
       {std::uint64_t{1}, std::uint64_t{65536}, std::uint64_t{512 << 10}}) {
    SCOPED_TRACE(resetAfter);
    EchoServer server(resetAfter);
    BridgeHarness harness({targetKey(server.port())});
    TestPeer client(harness.port());
    client.send(upgradeRequest(targetPath(server.port())));
    ASSERT_EQ(client.readHead(), switchingProtocols());
    // The client writes without reading while the server echoes, until the bridge stops taking
    // bytes or ends the connection.
    try {
      (void)client.sendUntilStalled(frame, 512 * frame.size(), milliseconds(300));
    } catch (const boost::system::system_error&) {
      // The bridge closed the connection first.
    }
    std::string received = client.readToEnd();
    std::string echoed;
    while (auto next = takeFrame(received)) {
      ASSERT_EQ(next->first, 0x82) << "a failed relay ends without a close frame";
      echoed += next->payload;
    }
    EXPECT_LT(received.size(), 10U + 65536U);  // at most the start of one frame
    for (std::size_t at = 0; at < echoed.size(); at += message.size()) {
      ASSERT_EQ(echoed.compare(at, message.size(), message, 0, echoed.size() - at), 0) << at;
    }
    ASSERT_TRUE(harness.registryEmpties());
    const std::vector<std::string> lines = harness.log.lines();
    const std::set<std::string> failures = {downReset, upReset, upBrokenPipe};
    const auto failed = std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
      return failures.contains(line);
    });
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(unexpectedLines(lines, failures), std::vector<std::string>{});
    EXPECT_TRUE(failures.contains("[Quillfern][bridge] " + harness.metrics().lastError));
    EXPECT_LE(echoed.size(), harness.metrics().bytesDown);
    EXPECT_EQ(harness.metrics().active, 0);
    EXPECT_TRUE(harness.answersHealth());
  }
}

// Scripts of `messages` binary messages of 16 KiB each, drawn from a few patterns in an order
// that differs from client to client.
std::vector<ClientScript> longScripts(std::size_t count, std::size_t messages) {
  constexpr std::size_t patterns = 8;
  std::vector<std::string> payloads;
  std::vector<std::string> frames;
  for (std::size_t p = 0; p < patterns; ++p) {
    payloads.push_back(patternedBytes(16384, static_cast<std::uint32_t>(p)));
    frames.push_back(maskedFrame(0x82, payloads.back()));
  }
  std::vector<ClientScript> scripts(count);
  for (std::size_t i = 0; i < count; ++i) {
    for (std::size_t j = 0; j < messages; ++j) {
      const std::size_t pattern = (3 * i + 5 * j) % patterns;
      scripts[i].frames += frames[pattern];
      scripts[i].echo += payloads[pattern];
    }
  }
  return scripts;
}

// Many relays whose servers reset while their clients keep reading: each session fails on its
// own, with writes to its client often half done.
TEST(BridgeFault, GameServersResetUnderManyReadingClients) {
  EchoServer resetting(256 << 10);
  BridgeHarness harness({targetKey(resetting.port())});
  boost::asio::io_context io;
  RelayClients relays;
  // Every server resets a third of the way through its script.
  for (ClientScript& script : longScripts(64, 48)) {
    relays.push_back(
        std::make_unique<RelayClient>(io, targetPath(resetting.port()), std::move(script)));
  }
  ASSERT_TRUE(openAll(io, relays, harness.port(), testDeadline)) << describe(relays);
  for (const auto& relay : relays) {
    relay->relay();
  }
  EXPECT_TRUE(runAllTo(io, relays, RelayClient::Stage::ended, testDeadline)) << describe(relays);
  ASSERT_TRUE(harness.registryEmpties());
  const std::vector<std::string> lines = harness.log.lines();
  const std::set<std::string> failures = {downReset, upReset, upBrokenPipe};
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [&](const std::string& line) { return failures.contains(line); }),
            64);
  EXPECT_EQ(unexpectedLines(lines, failures), std::vector<std::string>{});
  EXPECT_EQ(harness.metrics().active, 0);
  EXPECT_TRUE(resetting.allConnectionsEnd());
  EXPECT_TRUE(harness.answersHealth());
}

TEST(BridgeFault, StopWhileSessionsAreInEveryState) {
  EchoServer echo;
  EchoServer resetting(64 << 10);
  TestListener silent(0);  // with one connection waiting, it answers no further connect
  const TestPeer filler(silent.port());
  BridgeHarness harness(
      {targetKey(echo.port()), targetKey(resetting.port()), targetKey(silent.port())},
      std::chrono::minutes(5));  // the connecting sessions are still connecting at the stop
  constexpr int perState = 12;

  // Sessions that wait on the client, each driven there by a blocking peer.
  std::list<TestPeer> waiting;
  std::list<TestPeer> closing;
  std::list<TestPeer> resets;
  for (int i = 0; i < perState; ++i) {
    (void)waiting.emplace_back(harness.port());  // connected, nothing sent
    waiting.emplace_back(harness.port()).send("GET /health HTTP/1.1\r\nHost: 1");
    TestPeer& halfFrameOnHealth = waiting.emplace_back(harness.port());
    upgradeToHealth(halfFrameOnHealth);
    halfFrameOnHealth.send(halfFrame());
    TestPeer& connecting = waiting.emplace_back(harness.port());
    connecting.send(upgradeRequest(targetPath(silent.port())) + maskedFrame(0x82, "queued"));
    EXPECT_EQ(connecting.readHead(), switchingProtocols());
    TestPeer& halfFrameOnRelay = waiting.emplace_back(harness.port());
    upgradeToRelay(halfFrameOnRelay, echo);
    halfFrameOnRelay.send(halfFrame());
    upgradeToHealth(closing.emplace_back(harness.port()));
    upgradeToRelay(resets.emplace_back(harness.port()), echo);
  }

  // Relays with traffic in both directions, on a thread of their own while the bridge stops.
  boost::asio::io_context io;
  RelayClients relays;
  // Long enough to be still running when the bridge stops.
  std::vector<ClientScript> scripts = longScripts(3 * perState, 64);
  for (std::size_t i = 0; i < scripts.size(); ++i) {
    const std::uint16_t server = i % 3 == 0 ? resetting.port() : echo.port();
    relays.push_back(std::make_unique<RelayClient>(io, targetPath(server), std::move(scripts[i])));
  }
  ASSERT_TRUE(openAll(io, relays, harness.port(), testDeadline)) << describe(relays);
  for (const auto& relay : relays) {
    relay->relay();
  }
  std::thread traffic([&] { io.run_for(testDeadline); });
  const bool flowing = eventually([&] { return harness.metrics().bytesDown >= (1U << 20); });

  // The last moment: answers, close echoes and resets all in flight as the bridge stops.
  for (int i = 0; i < perState; ++i) {
    waiting.emplace_back(harness.port()).send(getRequest("/fallback"));
  }
  for (TestPeer& client : closing) {
    client.sendFrame(0x88, bytes({0x03, 0xE8}));
  }
  for (TestPeer& client : resets) {
    client.reset();
  }
  harness.bridge->stop();
  EXPECT_EQ(harness.bridge->sessionCount(), 0U);
  EXPECT_FALSE(harness.bridge->isRunning());
  traffic.join();
  EXPECT_TRUE(flowing);

  // Every client has been let go; nothing a client got back was wrong.
  for (TestPeer& client : waiting) {
    (void)client.readToEnd();  // throws unless the bridge ends the connection
  }
  for (TestPeer& client : closing) {
    (void)client.readToEnd();
  }
  for (const auto& relay : relays) {
    EXPECT_NE(relay->stage(), RelayClient::Stage::failed) << relay->reason();
    EXPECT_TRUE(relay->stage() == RelayClient::Stage::ended
                || relay->stage() == RelayClient::Stage::relayed)
        << static_cast<int>(relay->stage());
  }
  EXPECT_TRUE(eventually([&] { return harness.metrics().active == 0; }));
  EXPECT_TRUE(echo.allConnectionsEnd());
  EXPECT_TRUE(resetting.allConnectionsEnd());

  // Only the resets and "已停止" are logged: a stopped session logs nothing.
  const std::vector<std::string> lines = harness.log.lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "[Quillfern][bridge] 已停止"), lines.end());
  EXPECT_EQ(unexpectedLines(lines, {"[Quillfern][bridge] 已停止", readReset, writeReset,
                                    writeBrokenPipe, downReset, upReset, upBrokenPipe}),
            std::vector<std::string>{});

  // Started again, the bridge serves as before.
  harness.bridge->start();
  EXPECT_TRUE(harness.answersHealth());
  EXPECT_TRUE(harness.registryEmpties());
}

}  // namespace
}  // namespace quillfern::testing
