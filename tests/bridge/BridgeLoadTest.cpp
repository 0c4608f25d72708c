// Many upgraded sessions relaying at once, every byte accounted for.

#include "BridgeHarness.hpp"
#include "support/StagedClient.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace quillfern::testing {
namespace {

constexpr std::size_t sessionCount = 2000;
constexpr auto phaseDeadline = std::chrono::seconds(60);  // for each phase of the test

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
  script.frames = ws::clientFrame(0x81, greeting) + ws::clientFrame(0x02, first)
                  + ws::clientFrame(0x89, ping) + ws::clientFrame(0x00, second)
                  + ws::clientFrame(0x80, third) + ws::clientFrame(0x82, whole)
                  + ws::clientFrame(0x01, "frag") + ws::clientFrame(0x80, tail);
  script.echo = greeting + first + second + third + whole + "frag" + tail;
  script.pong = ping;
  if (index % 200 == 0) {
    const std::string large = patternedBytes(70'000, seed + 4);
    script.frames += ws::clientFrame(0x82, large);
    script.echo += large;
  }
  return script;
}

TEST(BridgeLoad, ThousandsOfSessionsRelayEveryByte) {
  // Each session holds four descriptors in this process: the client, the bridge's two sockets
  // and the echo server's.
  const rlim_t needed = 4 * sessionCount + 256;
  const rlimit limits = DescriptorLimit::current();
  if (limits.rlim_max < needed) {
    GTEST_SKIP() << sessionCount << " sessions need " << needed
                 << " descriptors, but the hard limit is " << limits.rlim_max;
  }
  const DescriptorLimit raised(std::max(limits.rlim_cur, std::min(limits.rlim_max, 2 * needed)));

  EchoServer first;
  EchoServer second;
  BridgeHarness harness({targetKey(first.port()), targetKey(second.port())});
  StagedClients clients;
  std::uint64_t sent = 0;
  for (std::size_t i = 0; i < sessionCount; ++i) {
    const std::uint16_t server = i % 2 == 0 ? first.port() : second.port();
    clients.push_back(std::make_unique<StagedClient>(harness.loop, harness.port(),
                                                     targetPath(server), scriptFor(i)));
    sent += clients.back()->scriptBytes();
  }

  // Every session upgraded and connected to its server before any traffic.
  ASSERT_TRUE(runAllTo(harness.loop, clients, StagedClient::Stage::upgraded, phaseDeadline))
      << describe(clients);
  ASSERT_TRUE(harness.loop.runUntil(
      [&] {
        return harness.metrics().active == static_cast<std::int64_t>(sessionCount)
               && first.accepted + second.accepted == sessionCount;
      },
      phaseDeadline))
      << "active: " << harness.metrics().active;

  // All relaying at once; every message byte reached a server once and came back once.
  for (const auto& client : clients) {
    client->relay();
  }
  ASSERT_TRUE(runAllTo(harness.loop, clients, StagedClient::Stage::relayed, phaseDeadline))
      << describe(clients);
  const auto relayed = harness.metrics();
  EXPECT_EQ(first.received + second.received, sent);
  EXPECT_EQ(relayed.bytesUp, sent);
  EXPECT_EQ(first.sent + second.sent, sent);
  EXPECT_EQ(relayed.bytesDown, sent);

  // Each client closes; the bridge echoes the close and ends the connection, and lets go of
  // every session and server connection without a failure.
  for (const auto& client : clients) {
    client->finish();
  }
  EXPECT_TRUE(runAllTo(harness.loop, clients, StagedClient::Stage::closed, phaseDeadline))
      << describe(clients);
  EXPECT_TRUE(harness.settles());
  EXPECT_TRUE(harness.loop.runUntil([&] { return first.allEnded() && second.allEnded(); }));
  EXPECT_EQ(harness.metrics().lastError, "");

  // Each connection is logged once; traffic is not.
  const auto lines = harness.log.lines();
  const auto connected = std::count_if(lines.begin(), lines.end(), [](const auto& line) {
    return line.starts_with("[Quillfern][tcp] 已连接 127.0.0.1:");
  });
  EXPECT_EQ(static_cast<std::size_t>(connected), sessionCount);
  EXPECT_LE(lines.size(), sessionCount + 4);  // and the listener's and the allowlist's lines
}

}  // namespace
}  // namespace quillfern::testing
