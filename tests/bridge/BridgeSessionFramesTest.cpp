#include "BridgeHarness.hpp"

#include <gtest/gtest.h>

namespace quillfern::testing {
namespace {

using namespace std::chrono_literals;

// The health socket answers "ping" in any case with "pong", echoes anything else, and echoes a
// close byte for byte before it ends the session.
TEST(BridgeSessionFrames, HealthEchoesAnswersPingAndEchoesTheClose) {
  BridgeHarness harness;
  Peer health(harness.loop, harness.port());
  harness.upgrade(health);
  struct Case {
    std::uint8_t first;
    std::string payload, expected;
  };
  for (const Case& c : {
           Case{0x81, "PING", bytes({0x81}) + "pong"}, Case{0x82, "ping", bytes({0x82}) + "pong"},
           Case{0x81, "ping ", bytes({0x81}) + "ping "},
           Case{0x81, "\xC3", bytes({0x81}) + "\xC3"},  // text is never checked for UTF-8
           Case{0x89, "abc", bytes({0x8A}) + "abc"},    // a ping frame gets its pong
       }) {
    SCOPED_TRACE(c.payload);
    health.send(ws::clientFrame(c.first, c.payload));
    const ws::Frame frame = health.readFrame();
    EXPECT_EQ(static_cast<char>(frame.first) + frame.payload, c.expected);
  }
  const std::string close = bytes({0x03, 0xE9}) + "going away";
  health.send(ws::clientFrame(0x88, close));
  EXPECT_EQ(health.readToEnd(), bytes({0x88, 12}) + close);
  EXPECT_TRUE(harness.settles());
  const auto counters = harness.metrics();
  EXPECT_EQ(counters.bytesUp + counters.bytesDown, 0U);
  EXPECT_EQ(counters.lastError, "");
}

// The frame checks themselves and their exact limits are the codec's and the assembler's; these
// show the session ends on each kind of error, and on the opcodes that only it refuses.
TEST(BridgeSessionFrames, ProtocolErrorsEndTheSessionWithoutACloseFrame) {
  BridgeHarness harness;
  const std::string largestFrame(16 << 20, 'm');
  struct Case {
    std::string frames, error;
  };
  for (const Case& c : {
           Case{bytes({0x82, 0x02}) + "hi", "客户端 WebSocket 帧未掩码"},
           Case{ws::clientFrame(0x8B, "x"), "不支持的 WebSocket opcode 11"},
           Case{ws::clientFrame(0x01, "a") + ws::clientFrame(0x82, "b"), "WebSocket 分片嵌套"},
           Case{ws::clientFrame(0x02, largestFrame) + ws::clientFrame(0x00, largestFrame)
                    + ws::clientFrame(0x80, "x"),
                "WebSocket 消息过大"},  // 32 MiB and one byte
       }) {
    SCOPED_TRACE(c.error);
    Peer health(harness.loop, harness.port());
    harness.upgrade(health);
    health.send(c.frames);
    EXPECT_EQ(health.readToEnd(), "");
    EXPECT_TRUE(harness.log.waitFor("[Quillfern][bridge] " + c.error));
    EXPECT_EQ(harness.metrics().lastError, c.error);
  }
  EXPECT_TRUE(harness.settles());
}

// Echoes wait for the client: a client that sends without reading is held back instead of
// growing the echo queue without bound, and every echo still arrives, in order.
TEST(BridgeSessionFrames, EchoFloodFromAClientThatDoesNotRead) {
  BridgeHarness harness;
  Peer health(harness.loop, harness.port());
  harness.upgrade(health);
  const std::string frame = ws::clientFrame(0x82, std::string(65536, 'e'));
  constexpr std::size_t offeredFrames = 1024;
  const std::size_t sent = health.sendUntilStalled(frame, offeredFrames * frame.size(), 300ms);
  // About 1 MiB queued in the bridge plus the socket buffers of both directions.
  EXPECT_LT(sent, offeredFrames * frame.size() / 2);
  for (std::size_t i = 0; i < sent / frame.size(); ++i) {
    ASSERT_EQ(health.readFrame().payload.size(), 65536U);
  }
}

}  // namespace
}  // namespace quillfern::testing
