#include "app/HeadlessRun.hpp"

#include "BridgeHarness.hpp"
#include "support/FakeHttpClient.hpp"
#include "support/MemoryStore.hpp"

#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <sstream>
#include <unistd.h>

namespace quillfern::testing {
namespace {

std::string descriptorLimitLine() {
  return "[Quillfern][bridge] 文件描述符上限："
         + std::to_string(DescriptorLimit::current().rlim_max);
}

// Every stop signal ends the run cleanly, even with nobody reading standard error; and the run
// raises the soft descriptor limit to the hard one first.
TEST(HeadlessRun, ServesUntilAStopSignalThenStops) {
  for (const int signal : {SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    const DescriptorLimit lowered(256);
    // Standard error becomes a pipe whose reader has gone, as when the output was piped into a
    // `head` that has exited; the lines go there as well.
    const int savedError = ::dup(STDERR_FILENO);
    std::array<int, 2> ends{};
    ASSERT_EQ(::pipe(ends.data()), 0);
    ::dup2(ends[1], STDERR_FILENO);
    ::close(ends[0]);
    ::close(ends[1]);
    auto log = std::make_unique<LogCapture>(false);
    Loop loop;
    std::ostringstream errors;
    std::string health;
    rlim_t limitWhileServing = 0;
    const auto http = std::make_shared<FakeHttpClient>();
    HeadlessOptions options{.store = std::make_shared<MemoryStore>(),
                            .http = http,
                            .listenPort = 0,
                            .onServing = [&](LoopbackBridge& bridge) {
                              limitWhileServing = DescriptorLimit::current().rlim_cur;
                              Peer client(loop, bridge.listeningPort());
                              client.send(getRequest("/health"));
                              health = client.readToEnd();
                              std::raise(signal);
                            }};
    EXPECT_EQ(runHeadless(options, errors), 0);
    const std::vector<std::string> lines = log->lines();
    log.reset();
    ::dup2(savedError, STDERR_FILENO);
    ::close(savedError);
    EXPECT_NE(health.find(R"({"ok":true,)"), std::string::npos);
    EXPECT_EQ(limitWhileServing, DescriptorLimit::current().rlim_max);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), descriptorLimitLine());
    EXPECT_EQ(lines.back(), "[Quillfern][bridge] 已停止");
    EXPECT_EQ(errors.str(), "");
    EXPECT_EQ(http->urls().size(), 1U);  // one refresh per start
  }
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
            (std::vector<std::string>{descriptorLimitLine(),
                                      "[Quillfern][app] 本地桥启动失败：Address already in use"}));
  EXPECT_EQ(errors.str(),
            "quillfern: cannot serve the bridge on 127.0.0.1:" + std::to_string(taken.port())
                + " (Address already in use); is another quillfern already running?\n");
}

}  // namespace
}  // namespace quillfern::testing
