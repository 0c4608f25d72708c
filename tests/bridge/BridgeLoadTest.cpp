// Many upgraded sessions relaying at once, every byte accounted for.

#include "BridgeHarness.hpp"
#include "EchoServer.hpp"
#include "RelayClient.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

namespace quillfern::testing {
namespace {

using std::chrono::seconds;

constexpr std::size_t sessionCount = 2000;

// Each phase of the test must finish within this.
constexpr auto phaseDeadline = seconds(60);

// Client `index`'s frames: text and binary, whole and fragmented, 7-bit, 16-bit and (now and
// then) 64-bit lengths, an empty final fragment for some, and a ping inside a fragmented message.
ClientScript scriptFor(std::size_t index) {
  const auto seed = static_cast<std::uint32_t>(index);
  const std::string greeting = "client " + std::to_string(index);
  const std::string first = patternedBytes(100 + index % 26, seed);
  const std::string second = patternedBytes(126 + (index * 7) % 400, seed + 1);
  const std::string third = patternedBytes(index % 3, seed + 2);
  const std::string whole = patternedBytes(1000 + (index * 37) % 3000, seed + 3);
  const std::string ping = "p" + std::to_string(index);
  const std::string tail = "mented " + std::to_string(index);
  ClientScript script;
  script.frames = maskedFrame(0x81, greeting) + maskedFrame(0x02, first) + maskedFrame(0x89, ping)
                  + maskedFrame(0x00, second) + maskedFrame(0x80, third) + maskedFrame(0x82, whole)
                  + maskedFrame(0x01, "frag") + maskedFrame(0x80, tail);
  script.echo = greeting + first + second + third + whole + "frag" + tail;
  script.pong = ping;
  if (index % 200 == 0) {
    const std::string large = patternedBytes(70'000, seed + 4);
    script.frames += maskedFrame(0x82, large);
    script.echo += large;
  }
  return script;
}

// count clients, each with the script of its index, shared out between two servers.
RelayClients loadClients(boost::asio::io_context& io, std::size_t count, const EchoServer& first,
                         const EchoServer& second) {
  RelayClients clients;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint16_t server = i % 2 == 0 ? first.port() : second.port();
    clients.push_back(std::make_unique<RelayClient>(io, targetPath(server), scriptFor(i)));
  }
  return clients;
}

std::uint64_t scriptBytes(const RelayClients& clients) {
  std::uint64_t total = 0;
  for (const auto& client : clients) {
    total += client->scriptBytes();
  }
  return total;
}

// Every message byte the clients sent reached a server once and came back once, and the
// bridge's counters say so.
void expectEveryByteCounted(const BridgeHarness& harness, const EchoServer& first,
                            const EchoServer& second, std::uint64_t sent) {
  const auto relayed = harness.metrics();
  EXPECT_EQ(first.counts().received + second.counts().received, sent);
  EXPECT_EQ(relayed.bytesUp, sent);
  EXPECT_EQ(first.counts().sent + second.counts().sent, sent);
  EXPECT_EQ(relayed.bytesDown, sent);  // every client got all of its own bytes back
}

// The bridge has let go of every session and both servers of every connection, and recorded
// no failure.
void expectAllLetGo(const BridgeHarness& harness, const EchoServer& first,
                    const EchoServer& second) {
  EXPECT_TRUE(harness.registryEmpties());
  EXPECT_TRUE(eventually([&] { return harness.metrics().active == 0; }));
  EXPECT_TRUE(first.allConnectionsEnd());
  EXPECT_TRUE(second.allConnectionsEnd());
  EXPECT_EQ(harness.metrics().lastError, "");
}

// Each connection is logged once; traffic is not.
void expectConnectionsLogged(const LogCapture& log, std::size_t count) {
  std::size_t connected = 0;
  for (const std::string& line : log.lines()) {
    if (line.starts_with("[Quillfern][tcp] 已连接 127.0.0.1:")) {
      ++connected;
    } else {
      EXPECT_TRUE(line.starts_with("[Quillfern][bridge] 已监听 ws://127.0.0.1:")
                  || line.starts_with("[Quillfern][hosts] "))
          << line;
    }
  }
  EXPECT_EQ(connected, count);
}

TEST(BridgeLoad, ThousandsOfSessionsRelayEveryByte) {
  constexpr std::size_t count = sessionCount;
  // Each session holds four descriptors in this process: the client, the bridge's two sockets
  // and the echo server's.
  const rlim_t needed = 4 * count + 256;
  const rlimit limits = DescriptorLimit::current();
  if (limits.rlim_max < needed) {
    GTEST_SKIP() << count << " sessions need " << needed << " descriptors, but the hard limit is "
                 << limits.rlim_max;
  }
  const DescriptorLimit raised(std::max(limits.rlim_cur, std::min(limits.rlim_max, 2 * needed)));

  EchoServer first;
  EchoServer second;
  BridgeHarness harness({targetKey(first.port()), targetKey(second.port())});
  boost::asio::io_context io;
  const RelayClients clients = loadClients(io, count, first, second);

  // Every session upgraded and connected to its server before any traffic.
  ASSERT_TRUE(openAll(io, clients, harness.port(), phaseDeadline)) << describe(clients);
  const auto allConnected = [&] {
    return harness.metrics().active == static_cast<std::int64_t>(count)
           && first.counts().accepted + second.counts().accepted == count;
  };
  ASSERT_TRUE(runUntil(io, allConnected, phaseDeadline)) << "active: " << harness.metrics().active;

  // All relaying at once.
  relayAll(clients);
  ASSERT_TRUE(runAllTo(io, clients, RelayClient::Stage::relayed, phaseDeadline))
      << describe(clients);
  expectEveryByteCounted(harness, first, second, scriptBytes(clients));

  // Each client closes; the bridge echoes the close and ends the connection.
  finishAll(clients);
  EXPECT_TRUE(runAllTo(io, clients, RelayClient::Stage::closed, phaseDeadline))
      << describe(clients);
  expectAllLetGo(harness, first, second);
  expectConnectionsLogged(harness.log, count);
}

}  // namespace
}  // namespace quillfern::testing
