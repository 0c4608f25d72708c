// Peers that vanish at the worst moment, and stop() in the middle of everything: the bridge
// logs what the failure was, lets go of the session and keeps serving.

#include "BridgeHarness.hpp"
#include "EchoServer.hpp"
#include "RelayClient.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <list>
#include <memory>
#include <set>
#include <thread>

namespace quillfern::testing {
namespace {

using std::chrono::milliseconds;
using Lines = std::set<std::string>;

const std::string readReset =
    "[Quillfern][bridge] 读取本地 WebSocket 失败：Connection reset by peer";
const std::string writeReset =
    "[Quillfern][bridge] 写入本地 WebSocket 失败：Connection reset by peer";
const std::string writeBrokenPipe = "[Quillfern][bridge] 写入本地 WebSocket 失败：Broken pipe";
const std::string downReset = "[Quillfern][bridge] TCP 下行失败：Connection reset by peer";
const std::string upReset = "[Quillfern][bridge] TCP 上行失败：Connection reset by peer";
const std::string upBrokenPipe = "[Quillfern][bridge] TCP 上行失败：Broken pipe";
const std::string stopped = "[Quillfern][bridge] 已停止";

// What a client that resets may leave in the log: it depends on whether the bridge was reading
// or writing when the reset came.
const Lines clientGone = {readReset, writeReset, writeBrokenPipe};
// The same for a game server that resets.
const Lines serverGone = {downReset, upReset, upBrokenPipe};

// Lines of the bridge and its connections other than the allowed ones, the listener's and the
// connected ones.
std::vector<std::string> unexpectedLines(const std::vector<std::string>& lines,
                                         const Lines& allowed) {
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

std::size_t countOf(const std::vector<std::string>& lines, const Lines& wanted) {
  return static_cast<std::size_t>(std::count_if(
      lines.begin(), lines.end(), [&](const std::string& line) { return wanted.contains(line); }));
}

// The log holds every line of `required` and otherwise only lines of `allowed`, and the bridge's
// last error is the message of the latest session failure logged, if there is one.
void expectLogged(const BridgeHarness& harness, const Lines& required, const Lines& allowed) {
  const std::vector<std::string> lines = harness.log.lines();
  for (const std::string& line : required) {
    EXPECT_EQ(countOf(lines, {line}), 1U) << line;
  }
  Lines known = allowed;
  known.insert(required.begin(), required.end());
  EXPECT_EQ(unexpectedLines(lines, known), std::vector<std::string>{});
  const auto failure = std::find_if(lines.rbegin(), lines.rend(), [](const std::string& line) {
    return clientGone.contains(line) || serverGone.contains(line);
  });
  if (failure != lines.rend()) {
    EXPECT_EQ("[Quillfern][bridge] " + harness.metrics().lastError, *failure);
  }
}

// The bridge has let go of every session and their servers, and still serves.
void expectSettled(const BridgeHarness& harness, const EchoServer& server) {
  EXPECT_TRUE(harness.registryEmpties());
  EXPECT_TRUE(eventually([&] { return harness.metrics().active == 0; }));
  EXPECT_TRUE(server.allConnectionsEnd());
  EXPECT_TRUE(harness.answersHealth());
}

void upgradeToHealth(TestPeer& client) {
  client.send(upgradeRequest("/health"));
  EXPECT_EQ(client.readHead(), switchingProtocols());
}

// Upgrades client to a relay to server and checks that it relays.
void upgradeToRelay(TestPeer& client, const EchoServer& server) {
  client.send(upgradeRequest(targetPath(server.port())));
  EXPECT_EQ(client.readHead(), switchingProtocols());
  client.sendFrame(0x82, "echo me");
  EXPECT_EQ(client.readFrame().payload, "echo me");
}

// The first part of a frame whose payload has not arrived.
std::string halfFrame() {
  return maskedFrame(0x82, std::string(300, 'h')).substr(0, 100);
}

TEST(BridgeFault, ClientResetsMidHandshakeMidFrameAndMidResponse) {
  EchoServer server;
  BridgeHarness harness({targetKey(server.port())});
  enum class Upgrade { none, health, relay };
  struct Case {
    std::string_view name;
    Upgrade upgrade;   // done before `sent`
    std::string sent;  // the last bytes before the reset
    Lines required;    // lines that must be logged
    Lines allowed;     // lines that may be logged, depending on timing
  };
  const std::string relayUpgrade = upgradeRequest(targetPath(server.port()));
  const std::string rejected = "[Quillfern][bridge] 拒绝目标：/127.0.0.1/1";
  for (const Case& c : {
           Case{"half a request line", Upgrade::none, "GET /hea", {readReset}, {}},
           Case{"an upgrade head short of its last CR LF",
                Upgrade::none,
                relayUpgrade.substr(0, relayUpgrade.size() - 2),
                {readReset},
                {}},
           Case{"the 101 of the health socket unread",
                Upgrade::none,
                upgradeRequest("/health"),
                {},
                clientGone},
           Case{"the 101 of a relay unread", Upgrade::none, relayUpgrade, {}, clientGone},
           Case{"the health document unread", Upgrade::none, getRequest("/health"), {}, clientGone},
           Case{"the fallback page unread", Upgrade::none, getRequest("/fallback"), {}, clientGone},
           Case{"a 403 unread",
                Upgrade::none,
                upgradeRequest("/127.0.0.1/1"),
                {rejected},
                clientGone},
           Case{"half a frame on the health socket", Upgrade::health, halfFrame(), {readReset}, {}},
           Case{"half a 16-bit length on the health socket",
                Upgrade::health,
                bytes({0x82, 0xFE, 0x01}),
                {readReset},
                {}},
           Case{"half a frame on a relay", Upgrade::relay, halfFrame(), {readReset}, {}},
           Case{"half a continuation on a relay",
                Upgrade::relay,
                maskedFrame(0x01, "first part, ") + maskedFrame(0x80, "second part").substr(0, 9),
                {readReset},
                {}},
       }) {
    SCOPED_TRACE(c.name);
    harness.log.clear();
    {
      TestPeer client(harness.port());
      ASSERT_TRUE(eventually([&] { return harness.bridge->sessionCount() == 1; }));
      if (c.upgrade == Upgrade::health) {
        upgradeToHealth(client);
      } else if (c.upgrade == Upgrade::relay) {
        upgradeToRelay(client, server);
      }
      client.send(c.sent);
      client.reset();
    }
    ASSERT_TRUE(harness.registryEmpties());
    expectLogged(harness, c.required, c.allowed);
    expectSettled(harness, server);
  }
}

// The message bytes of the binary frames in received, which must hold nothing else but the
// start of one more frame.
std::string binaryPayloads(std::string received) {
  std::string payloads;
  while (auto frame = takeFrame(received)) {
    EXPECT_EQ(frame->first, 0x82) << "a failed relay ends without a close frame";
    payloads += frame->payload;
  }
  EXPECT_LT(received.size(), 10U + 65536U);
  return payloads;
}

// True when text is unit repeated, the last copy perhaps cut short.
bool repeats(std::string_view text, std::string_view unit) {
  for (std::size_t at = 0; at < text.size(); at += unit.size()) {
    if (text.substr(at, unit.size()) != unit.substr(0, text.size() - at)) {
      return false;
    }
  }
  return true;
}

// Writes frame over and over without reading, while the server echoes, until the bridge stops
// taking bytes or ends the connection; then reads everything that came back.
std::string streamWithoutReading(TestPeer& client, std::string_view frame) {
  try {
    (void)client.sendUntilStalled(frame, 512 * frame.size(), milliseconds(300));
  } catch (const boost::system::system_error&) {
    // The bridge closed the connection first.
  }
  return client.readToEnd();
}

// A relay whose server resets after resetAfter bytes, while the client writes and the server
// echoes: the session fails without a close frame, and the bytes the client got back are a
// true prefix of the echo.
void expectServerResetHandled(std::uint64_t resetAfter) {
  const std::string message = patternedBytes(16384, 7);
  EchoServer server(resetAfter);
  BridgeHarness harness({targetKey(server.port())});
  TestPeer client(harness.port());
  client.send(upgradeRequest(targetPath(server.port())));
  ASSERT_EQ(client.readHead(), switchingProtocols());
  const std::string echoed =
      binaryPayloads(streamWithoutReading(client, maskedFrame(0x82, message)));
  EXPECT_TRUE(repeats(echoed, message));
  EXPECT_LE(echoed.size(), harness.metrics().bytesDown);
  ASSERT_TRUE(harness.registryEmpties());
  EXPECT_EQ(countOf(harness.log.lines(), serverGone), 1U);
  expectLogged(harness, {}, serverGone);
  expectSettled(harness, server);
}

TEST(BridgeFault, GameServerResetsWhileDataFlowsBothWays) {
  for (const std::uint64_t resetAfter :
       {std::uint64_t{1}, std::uint64_t{65536}, std::uint64_t{512 << 10}}) {
    SCOPED_TRACE(resetAfter);
    expectServerResetHandled(resetAfter);
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

// Relay clients with long scripts, to `server` for every third and to `other` for the rest.
RelayClients relayClients(boost::asio::io_context& io, std::size_t count, std::size_t messages,
                          const EchoServer& server, const EchoServer& other) {
  RelayClients clients;
  std::vector<ClientScript> scripts = longScripts(count, messages);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint16_t port = i % 3 == 0 ? server.port() : other.port();
    clients.push_back(std::make_unique<RelayClient>(io, targetPath(port), std::move(scripts[i])));
  }
  return clients;
}

// Relay clients that did not get all of their script back.
std::size_t cutShort(const RelayClients& clients) {
  return static_cast<std::size_t>(
      std::count_if(clients.begin(), clients.end(),
                    [](const auto& client) { return client->echoed() < client->scriptBytes(); }));
}

// Many relays whose servers reset while their clients keep reading: each session fails on its
// own, with writes to its client often half done.
TEST(BridgeFault, GameServersResetUnderManyReadingClients) {
  EchoServer resetting(256 << 10);
  BridgeHarness harness({targetKey(resetting.port())});
  boost::asio::io_context io;
  // Every server resets a third of the way through its script.
  const RelayClients relays = relayClients(io, 64, 48, resetting, resetting);
  ASSERT_TRUE(openAll(io, relays, harness.port(), testDeadline)) << describe(relays);
  relayAll(relays);
  EXPECT_TRUE(runAllTo(io, relays, RelayClient::Stage::ended, testDeadline)) << describe(relays);
  ASSERT_TRUE(harness.registryEmpties());
  EXPECT_EQ(countOf(harness.log.lines(), serverGone), 64U);
  expectLogged(harness, {}, serverGone);
  expectSettled(harness, resetting);
}

// Blocking peers whose sessions wait on the client in every state, `perState` of each: just
// connected, half a head, half a frame on the health socket and on a relay, and connecting to
// a server that never answers with a message queued. `closing` and `resets` are upgraded to
// the health socket and to a relay, for the test to close or reset them later.
struct WaitingPeers {
  std::list<TestPeer> waiting;
  std::list<TestPeer> closing;
  std::list<TestPeer> resets;

  WaitingPeers(const BridgeHarness& harness, const EchoServer& echo, std::uint16_t silentPort,
               std::size_t perState) {
    for (std::size_t i = 0; i < perState; ++i) {
      (void)waiting.emplace_back(harness.port());
      waiting.emplace_back(harness.port()).send("GET /health HTTP/1.1\r\nHost: 1");
      TestPeer& halfFrameOnHealth = waiting.emplace_back(harness.port());
      upgradeToHealth(halfFrameOnHealth);
      halfFrameOnHealth.send(halfFrame());
      TestPeer& halfFrameOnRelay = waiting.emplace_back(harness.port());
      upgradeToRelay(halfFrameOnRelay, echo);
      halfFrameOnRelay.send(halfFrame());
      TestPeer& connecting = waiting.emplace_back(harness.port());
      connecting.send(upgradeRequest(targetPath(silentPort)) + maskedFrame(0x82, "queued"));
      EXPECT_EQ(connecting.readHead(), switchingProtocols());
      upgradeToHealth(closing.emplace_back(harness.port()));
      upgradeToRelay(resets.emplace_back(harness.port()), echo);
    }
  }

  // Asks for perState fallback pages without reading them, sends a close frame on every
  // `closing` peer and resets every one of `resets`.
  void endSessions(const BridgeHarness& harness, std::size_t perState) {
    for (std::size_t i = 0; i < perState; ++i) {
      waiting.emplace_back(harness.port()).send(getRequest("/fallback"));
    }
    for (TestPeer& client : closing) {
      client.sendFrame(0x88, bytes({0x03, 0xE8}));
    }
    for (TestPeer& client : resets) {
      client.reset();
    }
  }

  // Reads every peer to its end, which throws unless the bridge ends the connection.
  void expectAllEnded() {
    for (std::list<TestPeer>* peers : {&waiting, &closing, &resets}) {
      for (TestPeer& peer : *peers) {
        if (peer.socket().is_open()) {
          (void)peer.readToEnd();
        }
      }
    }
  }
};

TEST(BridgeFault, StopWhileSessionsAreInEveryState) {
  EchoServer echo;
  EchoServer resetting(64 << 10);
  TestListener silent(0);  // with one connection waiting, it answers no further connect
  const TestPeer filler(silent.port());
  BridgeHarness harness(
      {targetKey(echo.port()), targetKey(resetting.port()), targetKey(silent.port())},
      std::chrono::minutes(5));  // the connecting sessions are still connecting at the stop
  constexpr std::size_t perState = 12;
  WaitingPeers peers(harness, echo, silent.port(), perState);

  // Relays with traffic both ways on a thread of their own while the bridge stops; the servers
  // of a third of them reset on their own.
  boost::asio::io_context io;
  const RelayClients relays = relayClients(io, 3 * perState, 64, resetting, echo);
  ASSERT_TRUE(openAll(io, relays, harness.port(), testDeadline)) << describe(relays);
  relayAll(relays);
  std::thread traffic([&] { io.run_for(testDeadline); });
  const bool flowing = eventually([&] { return harness.metrics().bytesDown >= (1U << 20); });

  // The last moment: answers, close echoes and resets all in flight as the bridge stops.
  peers.endSessions(harness, perState);
  harness.bridge->stop();
  EXPECT_EQ(harness.bridge->sessionCount(), 0U);
  EXPECT_FALSE(harness.bridge->isRunning());
  traffic.join();
  EXPECT_TRUE(flowing);

  // Every client has been let go, and nothing a relay got back was wrong: each has its script
  // echoed so far, or all of it.
  peers.expectAllEnded();
  EXPECT_TRUE(runAllTo(io, relays, RelayClient::Stage::ended, testDeadline)) << describe(relays);
  // A third of them end by their server's reset; the stop must cut short some of the others.
  EXPECT_GT(cutShort(relays), perState) << "the stop came after the relays were done";
  EXPECT_TRUE(resetting.allConnectionsEnd());

  // A stopped session logs nothing: only the resets and the stop itself are logged.
  Lines allowed = clientGone;
  allowed.insert(serverGone.begin(), serverGone.end());
  expectLogged(harness, {stopped}, allowed);

  // Started again, the bridge serves as before, with no session left from before the stop.
  harness.bridge->start();
  expectSettled(harness, echo);
}

}  // namespace
}  // namespace quillfern::testing
