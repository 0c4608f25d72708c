#include "app/HeadlessRun.hpp"

#include "BridgeHarness.hpp"
#include "support/FakeHttpClient.hpp"
#include "support/MemoryStore.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <sstream>

namespace quillfern::testing {
namespace {

TEST(HeadlessRun, ServesUntilSigtermThenStops) {
  const LogCapture log;
  Loop loop;
  std::ostringstream errors;
  std::string health;
  const auto http = std::make_shared<FakeHttpClient>();
  HeadlessOptions options{.store = std::make_shared<MemoryStore>(),
                          .http = http,
                          .listenPort = 0,
                          .onServing = [&](LoopbackBridge& bridge) {
                            Peer client(loop, bridge.listeningPort());
                            client.send(getRequest("/health"));
                            health = client.readToEnd();
                            std::raise(SIGTERM);
                          }};
  EXPECT_EQ(runHeadless(options, errors), 0);
  EXPECT_NE(health.find(R"({"ok":true,"port":9882,"active":0,"up":0,"down":0})"),
            std::string::npos);
  EXPECT_EQ(log.lines().back(), "[Quillfern][bridge] 已停止");
  EXPECT_EQ(errors.str(), "");
  EXPECT_EQ(http->urls(),
            std::vector<std::string>{"https://game.quillfern.example/ruffle-hosts.json"});
}

TEST(HeadlessRun, ExitsWithOneWhenThePortIsTaken) {
  const LogCapture log;
  Loop loop;
  const Listener taken(loop);
  std::ostringstream errors;
  const HeadlessOptions options{.store = std::make_shared<MemoryStore>(),
                                .http = std::make_shared<FakeHttpClient>(),
                                .listenPort = taken.port(),
                                .onServing = {}};
  EXPECT_EQ(runHeadless(options, errors), 1);
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{"[Quillfern][app] 本地桥启动失败：Address already in use"});
  EXPECT_EQ(errors.str(),
            "quillfern: cannot serve the bridge on 127.0.0.1:" + std::to_string(taken.port())
                + " (Address already in use); is another quillfern already running?\n");
}

}  // namespace
}  // namespace quillfern::testing
