#include "BridgeHarness.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <unistd.h>

namespace quillfern::testing {
namespace {

// Any page of any browser on this machine may reach the bridge, and nothing else may: it
// listens on 127.0.0.1 alone, neither on every address nor on IPv6.
TEST(LoopbackBridgeAccept, ListensOnLoopbackOnly) {
  BridgeHarness harness;
  // Another address of the loopback network is another address.
  for (const char* address : {"127.0.0.2", "::1"}) {
    asio::ip::tcp::socket other(harness.loop.context());
    boost::system::error_code error;
    other.connect({asio::ip::make_address(address), harness.port()}, error);
    EXPECT_TRUE(error) << address;
  }
}

TEST(LoopbackBridgeAccept, RunningOutOfDescriptorsDoesNotEndTheListener) {
  BridgeHarness harness;
  Peer client(harness.loop);
  {
    // The client's socket takes the lowest free descriptor and the limit allows no other, so
    // the bridge cannot accept the connection.
    const int lowestFree = ::dup(0);
    ::close(lowestFree);
    const DescriptorLimit limit(static_cast<rlim_t>(lowestFree) + 1);
    client.connect(harness.port());
    const std::string waiting = "[Quillfern][bridge] 等待监听：Too many open files";
    ASSERT_TRUE(harness.log.waitFor(waiting));
    // The shortage is logged once, not at each of the tries that back off within it (100, 200
    // and 400 ms apart here).
    harness.loop.runFor(std::chrono::milliseconds(800));
    const auto lines = harness.log.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), waiting), 1);
  }
  EXPECT_EQ(harness.metrics().lastError, "Too many open files");
  EXPECT_TRUE(harness.bridge->isRunning());
  // With descriptors back, the waiting connection is accepted after the pause.
  client.send(getRequest("/health"));
  EXPECT_NE(client.readToEnd().find(R"({"ok":true,)"), std::string::npos);
}

}  // namespace
}  // namespace quillfern::testing
