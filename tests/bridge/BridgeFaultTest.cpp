// Peers that vanish at the worst moment, and stop() in the middle of everything: the bridge
// logs what the failure was, lets go of the session and keeps serving.

#include "BridgeHarness.hpp"
#include "support/StagedClient.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <list>
#include <set>
#include <thread>

namespace quillfern::testing {
namespace {

using namespace std::chrono_literals;
using Lines = std::set<std::string>;

const std::string readReset =
    "[Quillfern][bridge] 读取本地 WebSocket 失败：Connection reset by peer";
// What a client that resets may leave in the log: it depends on whether the bridge was reading
// or writing when the reset came.
const Lines clientGone = {readReset,
                          "[Quillfern][bridge] 写入本地 WebSocket 失败：Connection reset by peer",
                          "[Quillfern][bridge] 写入本地 WebSocket 失败：Broken pipe"};
// The same for a game server that resets.
const Lines serverGone = {"[Quillfern][bridge] TCP 下行失败：Connection reset by peer",
                          "[Quillfern][bridge] TCP 上行失败：Connection reset by peer",
                          "[Quillfern][bridge] TCP 上行失败：Broken pipe"};

std::size_t countOf(const std::vector<std::string>& lines, const Lines& wanted) {
  return static_cast<std::size_t>(std::count_if(
      lines.begin(), lines.end(), [&](const auto& line) { return wanted.contains(line); }));
}

// The log holds each line of `required` once and otherwise only lines of `allowed` besides
// the listener's and the connections', and the last error is the message of a failure logged.
// Sessions fail on threads of their own, so which failure was last is not known.
void expectLogged(const BridgeHarness& harness, const Lines& required, const Lines& allowed) {
  const std::vector<std::string> lines = harness.log.lines();
  Lines failures;
  for (const std::string& line : lines) {
    const bool expected = required.contains(line) || allowed.contains(line)
                          || line.starts_with("[Quillfern][hosts] ")
                          || line.starts_with("[Quillfern][tcp] 已连接 127.0.0.1:")
                          || line.starts_with("[Quillfern][bridge] 已监听 ws://127.0.0.1:");
    EXPECT_TRUE(expected) << line;
    if (clientGone.contains(line) || serverGone.contains(line)) {
      failures.insert(line);
    }
  }
  for (const std::string& line : required) {
    EXPECT_EQ(countOf(lines, {line}), 1U) << line;
  }
  const std::string lastError = harness.metrics().lastError;
  if (!failures.empty()) {
    EXPECT_TRUE(failures.contains("[Quillfern][bridge] " + lastError)) << lastError;
  }
}

// The bridge has let go of every session and their servers, and still serves.
void expectSettled(BridgeHarness& harness, const EchoServer& server) {
  EXPECT_TRUE(harness.settles());
  EXPECT_TRUE(harness.loop.runUntil([&] { return server.allEnded(); }));
  EXPECT_TRUE(harness.exchange(getRequest("/health")).starts_with("200 OK"));
}

// Upgrades client to a relay to server and checks that it relays.
void upgradeToRelay(BridgeHarness& harness, Peer& client, const EchoServer& server) {
  harness.upgrade(client, targetPath(server.port()));
  client.send(ws::clientFrame(0x82, "echo me"));
  EXPECT_EQ(client.readFrame().payload, "echo me");
}

// The first part of a frame whose payload has not arrived.
std::string halfFrame() {
  return ws::clientFrame(0x82, std::string(300, 'h')).substr(0, 100);
}

TEST(BridgeFault, ClientResetsOrEndsMidHandshakeMidFrameAndMidResponse) {
  EchoServer server;
  BridgeHarness harness({targetKey(server.port())});
  enum class Upgrade { none, health, relay };  // done before `sent`, the last bytes
  // What the log shows: the read failure, or a failure that depends on timing, after the
  // refusal for a refused request; nothing for a client that ends in order instead.
  enum class Logged { readFailure, maybeGone, refusedMaybeGone, nothing };
  using enum Upgrade;
  using enum Logged;
  struct Case {
    std::string_view name;
    Upgrade upgrade;
    std::string sent;
    Logged logged;
  };
  const std::string relayUpgrade = upgradeRequest(targetPath(server.port()));
  const std::string rejected = "[Quillfern][bridge] 拒绝目标：/127.0.0.1/1";
  for (const Case& c : {
           Case{"half a request line", none, "GET /hea", readFailure},
           Case{"a head short of its last CR LF", none,
                relayUpgrade.substr(0, relayUpgrade.size() - 2), readFailure},
           Case{"the 101 of the health socket unread", none, upgradeRequest("/health"), maybeGone},
           Case{"the 101 of a relay unread", none, relayUpgrade, maybeGone},
           Case{"an answer unread", none, getRequest("/fallback"), maybeGone},
           Case{"a 403 unread", none, upgradeRequest("/127.0.0.1/1"), refusedMaybeGone},
           Case{"half a frame on the health socket", health, halfFrame(), readFailure},
           Case{"half a 16-bit length on the health socket", health, bytes({0x82, 0xFE, 1}),
                readFailure},
           Case{"half a frame on a relay", relay, halfFrame(), readFailure},
           Case{"half a continuation on a relay", relay,
                ws::clientFrame(0x01, "first, ") + ws::clientFrame(0x80, "second").substr(0, 9),
                readFailure},
           Case{"an end after half a request line", none, "GET /hea", nothing},
           Case{"an end after a whole upgrade", none, upgradeRequest("/health"), nothing},
           Case{"an end after half a frame on the health socket", health, halfFrame(), nothing},
       }) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(harness.settles());  // the last case's health check may still be registered
    harness.log.clear();
    std::string answer;
    {
      Peer client(harness.loop, harness.port());
      // A reset that comes before the accept is no session's failure.
      ASSERT_TRUE(harness.loop.runUntil([&] { return harness.bridge->sessionCount() == 1; }));
      if (c.upgrade == health) {
        harness.upgrade(client);
      } else if (c.upgrade == relay) {
        upgradeToRelay(harness, client, server);
      }
      client.send(c.sent);
      // The refusal comes before the reset, or a reset that overtook the request would
      // leave it out.
      if (c.logged == refusedMaybeGone) {
        ASSERT_TRUE(harness.log.waitFor(rejected));
      }
      if (c.logged == nothing) {
        client.shutdownSend();
        answer = client.readToEnd();
      } else {
        client.reset();
      }
    }
    ASSERT_TRUE(harness.settles());
    if (c.logged == nothing) {
      expectLogged(harness, {}, {});
      EXPECT_EQ(answer, c.sent.ends_with("\r\n\r\n") ? switchingProtocols() : "");  // answered
    } else if (c.logged == readFailure) {
      expectLogged(harness, {readReset}, {});
    } else {
      expectLogged(harness, c.logged == refusedMaybeGone ? Lines{rejected} : Lines{}, clientGone);
    }
    expectSettled(harness, server);
  }
}

// A relay whose server resets after `resetAfter` bytes while the client writes without reading
// and the server echoes: the session fails without a close frame, and what the client got back
// is a true prefix of the echo.
TEST(BridgeFault, GameServerResetsWhileDataFlowsBothWays) {
  const std::string message = patternedBytes(16384, 7);
  const std::string frame = ws::clientFrame(0x82, message);
  for (const std::uint64_t resetAfter : {1U, 65536U, 512U << 10}) {
    SCOPED_TRACE(resetAfter);
    EchoServer server(resetAfter);
    BridgeHarness harness({targetKey(server.port())});
    Peer client(harness.loop, harness.port());
    harness.upgrade(client, targetPath(server.port()));
    try {
      (void)client.sendUntilStalled(frame, 512 * frame.size(), 300ms);
    } catch (const boost::system::system_error&) {
      // The bridge ended the connection first.
    }
    // Binary frames only, the last perhaps cut short, whose payloads repeat the message.
    std::string received = client.readToEnd();
    std::string echoed;
    while (auto echo = ws::takeServerFrame(received)) {
      EXPECT_EQ(echo->first, 0x82) << "a failed relay ends without a close frame";
      echoed += echo->payload;
    }
    EXPECT_LT(received.size(), 10U + 65536U);
    for (std::size_t at = 0; at < echoed.size(); at += message.size()) {
      ASSERT_TRUE(std::string_view(message).starts_with(echoed.substr(at, message.size()))) << at;
    }
    EXPECT_LE(echoed.size(), harness.metrics().bytesDown);
    ASSERT_TRUE(harness.settles());
    EXPECT_EQ(countOf(harness.log.lines(), serverGone), 1U);
    expectLogged(harness, {}, serverGone);
    expectSettled(harness, server);
  }
}

// Clients with scripts of 48 binary messages of 16 KiB each, drawn from a few patterns in an
// order that differs from client to client, sent `rounds` times, to `server` for every third
// and to `other` for the rest.
StagedClients relayClients(Loop& loop, std::uint16_t bridgePort, std::size_t count,
                           std::size_t rounds, const EchoServer& server, const EchoServer& other) {
  constexpr std::size_t patterns = 8;
  std::vector<std::string> payloads;
  std::vector<std::string> frames;
  for (std::size_t p = 0; p < patterns; ++p) {
    payloads.push_back(patternedBytes(16384, static_cast<std::uint32_t>(p)));
    frames.push_back(ws::clientFrame(0x82, payloads.back()));
  }
  StagedClients clients;
  for (std::size_t i = 0; i < count; ++i) {
    ClientScript script;
    script.rounds = rounds;
    for (std::size_t j = 0; j < 48; ++j) {
      script.frames += frames[(3 * i + 5 * j) % patterns];
      script.echo += payloads[(3 * i + 5 * j) % patterns];
    }
    const std::uint16_t port = i % 3 == 0 ? server.port() : other.port();
    clients.push_back(
        std::make_unique<StagedClient>(loop, bridgePort, targetPath(port), std::move(script)));
  }
  return clients;
}

// Many relays whose servers reset while their clients keep reading: each session fails on its
// own, with writes to its client often half done.
TEST(BridgeFault, GameServersResetUnderManyReadingClients) {
  EchoServer resetting(256 << 10);  // a third of the way through each script
  BridgeHarness harness({targetKey(resetting.port())});
  const StagedClients relays =
      relayClients(harness.loop, harness.port(), 64, 1, resetting, resetting);
  ASSERT_TRUE(runAllTo(harness.loop, relays, StagedClient::Stage::upgraded)) << describe(relays);
  for (const auto& relay : relays) {
    relay->relay();
  }
  EXPECT_TRUE(runAllTo(harness.loop, relays, StagedClient::Stage::ended)) << describe(relays);
  ASSERT_TRUE(harness.settles());
  EXPECT_EQ(countOf(harness.log.lines(), serverGone), 64U);
  expectLogged(harness, {}, serverGone);
  expectSettled(harness, resetting);
}

TEST(BridgeFault, StopWhileSessionsAreInEveryState) {
  EchoServer echo;
  EchoServer resetting(64 << 10);
  Loop trafficLoop;
  const Listener silent(trafficLoop, Listener::Kind::silent);
  BridgeHarness harness(
      {targetKey(echo.port()), targetKey(resetting.port()), targetKey(silent.port())},
      std::chrono::minutes(5));  // the connecting sessions are still connecting at the stop
  // Sessions that wait on the client in every state: just connected, half a head, half a frame
  // on the health socket and on a relay, and connecting to a server that never answers with a
  // message queued. `closing` and `resets` are upgraded, for the test to close or reset.
  constexpr std::size_t perState = 12;
  std::list<Peer> waiting;
  std::list<Peer> closing;
  std::list<Peer> resets;
  for (std::size_t i = 0; i < perState; ++i) {
    (void)waiting.emplace_back(harness.loop, harness.port());
    waiting.emplace_back(harness.loop, harness.port()).send("GET /health HTTP/1.1\r\nHost: 1");
    Peer& halfFrameOnHealth = waiting.emplace_back(harness.loop, harness.port());
    harness.upgrade(halfFrameOnHealth);
    halfFrameOnHealth.send(halfFrame());
    Peer& halfFrameOnRelay = waiting.emplace_back(harness.loop, harness.port());
    upgradeToRelay(harness, halfFrameOnRelay, echo);
    halfFrameOnRelay.send(halfFrame());
    Peer& connecting = waiting.emplace_back(harness.loop, harness.port());
    connecting.send(upgradeRequest(targetPath(silent.port())) + ws::clientFrame(0x82, "queued"));
    EXPECT_EQ(connecting.readHead(), switchingProtocols());
    harness.upgrade(closing.emplace_back(harness.loop, harness.port()));
    upgradeToRelay(harness, resets.emplace_back(harness.loop, harness.port()), echo);
  }

  // Relays with traffic both ways on a thread of their own while the bridge stops; the servers
  // of a third of them reset on their own. Eight rounds of 768 KiB each are far more than can
  // pass before the stop.
  const StagedClients relays =
      relayClients(trafficLoop, harness.port(), 3 * perState, 8, resetting, echo);
  ASSERT_TRUE(runAllTo(trafficLoop, relays, StagedClient::Stage::upgraded)) << describe(relays);
  for (const auto& relay : relays) {
    relay->relay();
  }
  std::atomic<bool> stopped = false;
  std::thread traffic([&] { (void)trafficLoop.runUntil([&] { return stopped.load(); }); });
  const bool flowing =
      harness.loop.runUntil([&] { return harness.metrics().bytesDown >= (1U << 20); });

  // The last moment: answers, close echoes and resets all in flight as the bridge stops.
  for (std::size_t i = 0; i < perState; ++i) {
    waiting.emplace_back(harness.loop, harness.port()).send(getRequest("/fallback"));
  }
  for (Peer& client : closing) {
    client.send(ws::clientFrame(0x88, bytes({0x03, 0xE8})));
  }
  for (Peer& client : resets) {
    client.reset();
  }
  const std::uint16_t port = harness.port();
  harness.bridge->stop();
  stopped = true;
  traffic.join();
  EXPECT_TRUE(flowing);
  EXPECT_EQ(harness.bridge->sessionCount(), 0U);
  EXPECT_FALSE(harness.bridge->isRunning());
  EXPECT_THROW(Peer(harness.loop, port), boost::system::system_error);  // nobody listens

  // Every client has been let go (a read to the end throws if not), and nothing a relay got
  // back was wrong.
  for (Peer& peer : waiting) {
    (void)peer.readToEnd();
  }
  for (Peer& peer : closing) {
    (void)peer.readToEnd();
  }
  EXPECT_TRUE(runAllTo(trafficLoop, relays, StagedClient::Stage::ended)) << describe(relays);
  EXPECT_TRUE(std::none_of(relays.begin(), relays.end(), [](auto& r) { return r->echoedAll(); }));
  EXPECT_TRUE(harness.loop.runUntil([&] { return resetting.allEnded(); }));

  // A stopped session logs nothing: only the resets and the stop itself are logged.
  Lines allowed = clientGone;
  allowed.insert(serverGone.begin(), serverGone.end());
  expectLogged(harness, {"[Quillfern][bridge] 已停止"}, allowed);

  // Started again, the bridge serves as before, with no session left from before the stop.
  harness.bridge->start();
  expectSettled(harness, echo);
}

}  // namespace
}  // namespace quillfern::testing
