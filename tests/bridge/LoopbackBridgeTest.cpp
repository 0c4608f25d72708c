#include "bridge/LoopbackBridge.hpp"

#include "BridgeHarness.hpp"
#include "policy/HostAllowlist.hpp"
#include "support/MemoryStore.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <list>
#include <unistd.h>

namespace quillfern::testing {
namespace {

std::shared_ptr<HostAllowlist> builtInAllowlist() {
  return std::make_shared<HostAllowlist>(std::make_shared<MemoryStore>(), nullptr);
}

TEST(LoopbackBridgeLifecycle, StartStopAndStartAgain) {
  const LogCapture log;
  LoopbackBridge bridge(builtInAllowlist(), 0);
  EXPECT_FALSE(bridge.isRunning());
  bridge.start();
  EXPECT_TRUE(bridge.isRunning());
  const std::uint16_t first = bridge.listeningPort();
  bridge.start();  // a second start does nothing
  EXPECT_EQ(bridge.listeningPort(), first);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"[Quillfern][bridge] 已监听 ws://127.0.0.1:"
                                                  + std::to_string(first)});
  bridge.stop();
  EXPECT_FALSE(bridge.isRunning());
  EXPECT_TRUE(log.contains("[Quillfern][bridge] 已停止"));
  EXPECT_THROW(TestPeer{first}, boost::system::system_error);  // nobody listens any more
  bridge.start();
  EXPECT_TRUE(bridge.isRunning());
  TestPeer client(bridge.listeningPort());
  client.send(getRequest("/health"));
  EXPECT_NE(client.readToEnd().find(R"({"ok":true,)"), std::string::npos);
}

TEST(LoopbackBridgeLifecycle, StopWithoutStartLogsStopped) {
  const LogCapture log;
  LoopbackBridge bridge(builtInAllowlist(), 0);
  bridge.stop();
  EXPECT_FALSE(bridge.isRunning());
  EXPECT_EQ(log.lines(), std::vector<std::string>{"[Quillfern][bridge] 已停止"});
}

TEST(LoopbackBridgeLifecycle, StartThrowsWhenThePortIsTaken) {
  const LogCapture log;
  const TestListener taken;
  LoopbackBridge bridge(builtInAllowlist(), taken.port());
  try {
    bridge.start();
    FAIL() << "start() did not throw";
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(e.code(), boost::asio::error::address_in_use);
  }
  EXPECT_FALSE(bridge.isRunning());
  EXPECT_TRUE(log.lines().empty());
}

TEST(LoopbackBridgeLifecycle, StopClosesOpenSessionsAndEmptiesTheRegistry) {
  BridgeHarness harness;
  std::list<TestPeer> clients;
  for (int i = 0; i < 4; ++i) {
    clients.emplace_back(harness.port());
  }
  clients.front().send(upgradeRequest("/health"));
  EXPECT_EQ(clients.front().readHead(), switchingProtocols());
  ASSERT_TRUE(eventually([&] { return harness.bridge->sessionCount() == 4; }));
  harness.bridge->stop();
  EXPECT_EQ(harness.bridge->sessionCount(), 0U);
  for (TestPeer& client : clients) {
    EXPECT_TRUE(client.closedByPeer());
  }
  EXPECT_FALSE(harness.bridge->isRunning());
}

TEST(LoopbackBridgeLifecycle, RegistryEmptiesAfterClientsLeave) {
  BridgeHarness harness;
  {
    std::list<TestPeer> clients;
    for (int i = 0; i < 8; ++i) {
      clients.emplace_back(harness.port()).send(upgradeRequest("/health"));
    }
    for (TestPeer& client : clients) {
      EXPECT_EQ(client.readHead(), switchingProtocols());
    }
    EXPECT_EQ(harness.bridge->sessionCount(), 8U);
  }
  EXPECT_TRUE(harness.registryEmpties());
  EXPECT_EQ(harness.metrics().lastError, "");
}

TEST(LoopbackBridgeLifecycle, ClientHangingUpAfterAnyByteOfTheHandshake) {
  BridgeHarness harness;
  const std::string opening = upgradeRequest("/health") + maskedFrame(0x81, "ping");
  for (std::size_t length = 0; length < opening.size(); ++length) {
    TestPeer client(harness.port());
    client.send(std::string_view(opening).substr(0, length));
    client.shutdownSend();
    EXPECT_LE(client.readToEnd().size(), switchingProtocols().size());
  }
  EXPECT_TRUE(harness.registryEmpties());
  EXPECT_EQ(harness.metrics().lastError, "");
}

TEST(LoopbackBridgeLifecycle, StopWhileSessionsCloseThemselves) {
  BridgeHarness harness;
  std::list<TestPeer> clients;
  for (int i = 0; i < 16; ++i) {
    clients.emplace_back(harness.port()).send(upgradeRequest("/health"));
  }
  for (TestPeer& client : clients) {
    EXPECT_EQ(client.readHead(), switchingProtocols());
    client.sendFrame(0x88, "");  // each session closes itself once its echo is written
  }
  harness.bridge->stop();
  EXPECT_EQ(harness.bridge->sessionCount(), 0U);
  for (TestPeer& client : clients) {
    (void)client.readToEnd();
  }
}

TEST(LoopbackBridgeAccept, RunningOutOfDescriptorsDoesNotEndTheListener) {
  BridgeHarness harness;
  TestPeer client;  // its event loop's descriptors are taken before the limit drops
  {
    // The client's socket takes the lowest free descriptor and the limit allows no other, so
    // the bridge cannot accept the connection.
    const int lowestFree = ::dup(0);
    ::close(lowestFree);
    const DescriptorLimit limit(static_cast<rlim_t>(lowestFree) + 1);
    client.connect(harness.port());
    const std::string waiting = "[Quillfern][bridge] 等待监听：Too many open files";
    ASSERT_TRUE(harness.log.waitFor(waiting, testDeadline));
    // The shortage is logged once, not at each of the tries that back off within it (100, 200
    // and 400 ms apart here).
    EXPECT_FALSE(eventually(
        [&] {
          const auto lines = harness.log.lines();
          return std::count(lines.begin(), lines.end(), waiting) > 1;
        },
        std::chrono::milliseconds(800)));
  }
  EXPECT_EQ(harness.metrics().lastError, "Too many open files");
  EXPECT_TRUE(harness.bridge->isRunning());
  // With descriptors back, the waiting connection is accepted after the pause.
  client.send(getRequest("/health"));
  EXPECT_NE(client.readToEnd().find(R"({"ok":true,)"), std::string::npos);
}

}  // namespace
}  // namespace quillfern::testing
