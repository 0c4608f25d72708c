#include "BridgeHarness.hpp"

#include <gtest/gtest.h>

namespace quillfern::testing {
namespace {

// A client on the health socket, upgraded.
class HealthSocket {
public:
  explicit HealthSocket(const BridgeHarness& harness) : client(harness.port()) {
    client.send(upgradeRequest("/health"));
    EXPECT_EQ(client.readHead(), switchingProtocols());
  }
  TestPeer client;
};

std::string frameText(const TestPeer::Frame& frame) {
  return frame.header + frame.payload;
}

TEST(BridgeSessionFrames, HealthEchoesAndAnswersPing) {
  BridgeHarness harness;
  HealthSocket health(harness);
  struct Case {
    std::uint8_t first;
    std::string payload, expected;
  };
  for (const Case& c : {
           Case{0x81, "PING", bytes({0x81, 4}) + "pong"},
           Case{0x82, "ping", bytes({0x82, 4}) + "pong"},
           Case{0x81, "ping ", bytes({0x81, 5}) + "ping "},
           Case{0x82, "\xff\xfe", bytes({0x82, 2}) + "\xff\xfe"},
           Case{0x81, "\xC3", bytes({0x81, 1}) + "\xC3"},  // text is never checked for UTF-8
           Case{0x81, "", bytes({0x81, 0})},
       }) {
    SCOPED_TRACE(c.payload);
    health.client.sendFrame(c.first, c.payload);
    EXPECT_EQ(frameText(health.client.readFrame()), c.expected);
  }
  const auto counters = harness.metrics();
  EXPECT_EQ(counters.active + counters.bytesUp + counters.bytesDown, 0U);
}

TEST(BridgeSessionFrames, ServerHeadersAt125And126And65536Bytes) {
  BridgeHarness harness;
  HealthSocket health(harness);
  struct Case {
    std::size_t size;
    std::string header;
  };
  for (const Case& c : {Case{125, bytes({130, 125})}, Case{126, bytes({130, 126, 0, 126})},
                        Case{65536, bytes({130, 127, 0, 0, 0, 0, 0, 1, 0, 0})}}) {
    SCOPED_TRACE(c.size);
    const std::string payload(c.size, 'x');
    health.client.sendFrame(0x82, payload);
    const auto frame = health.client.readFrame();
    EXPECT_EQ(frame.header, c.header);
    EXPECT_EQ(frame.payload, payload);
  }
}

TEST(BridgeSessionFrames, PingInsideAFragmentedMessage) {
  BridgeHarness harness;
  HealthSocket health(harness);
  health.client.send(maskedFrame(0x01, "a") + maskedFrame(0x89, "abc") + maskedFrame(0x8A, "x")
                     + maskedFrame(0x80, "b"));
  EXPECT_EQ(frameText(health.client.readFrame()), bytes({0x8A, 3}) + "abc");
  EXPECT_EQ(frameText(health.client.readFrame()), bytes({0x81, 2}) + "ab");
}

TEST(BridgeSessionFrames, CloseIsEchoedByteForByteThenTheSessionEnds) {
  BridgeHarness harness;
  for (const std::string& payload : {bytes({0x03, 0xE9}) + "going away", std::string()}) {
    HealthSocket health(harness);
    health.client.sendFrame(0x88, payload);
    EXPECT_EQ(health.client.readToEnd(), bytes({0x88, static_cast<int>(payload.size())}) + payload);
  }
  EXPECT_TRUE(harness.registryEmpties());
  EXPECT_EQ(harness.metrics().lastError, "");
}

TEST(BridgeSessionFrames, ProtocolErrorsEndTheSessionWithoutACloseFrame) {
  BridgeHarness harness;
  struct Case {
    std::string frames, error;
  };
  for (const Case& c : {
           Case{bytes({0x82, 0x02}) + "hi", "客户端 WebSocket 帧未掩码"},
           Case{bytes({0x82, 0xFF, 0, 0, 0, 0, 1, 0, 0, 1}), "WebSocket 帧过大"},
           Case{bytes({0x09, 0x80, 1, 2, 3, 4}), "WebSocket 控制帧无效"},
           Case{maskedFrame(0x83, "x"), "不支持的 WebSocket opcode 3"},
           Case{maskedFrame(0x8B, "x"), "不支持的 WebSocket opcode 11"},
           Case{maskedFrame(0x80, "x"), "意外的 WebSocket 续帧"},
           Case{maskedFrame(0x01, "a") + maskedFrame(0x82, "b"), "WebSocket 分片嵌套"},
       }) {
    SCOPED_TRACE(c.error);
    harness.log.clear();
    HealthSocket health(harness);
    health.client.send(c.frames);
    EXPECT_EQ(health.client.readToEnd(), "");
    EXPECT_TRUE(harness.log.waitFor("[Quillfern][bridge] " + c.error, testDeadline));
    EXPECT_EQ(harness.metrics().lastError, c.error);
  }
  EXPECT_TRUE(harness.registryEmpties());
}

// Echoes wait for the client; a client that sends without reading is held back instead of
// growing the echo queue without bound, and every echo still arrives, in order.
TEST(BridgeSessionFrames, EchoFloodFromAClientThatDoesNotRead) {
  BridgeHarness harness;
  HealthSocket health(harness);
  const std::string frame = maskedFrame(0x82, std::string(65536, 'e'));
  constexpr std::size_t offeredFrames = 1024;
  const std::size_t sent = health.client.sendUntilStalled(frame, offeredFrames * frame.size(),
                                                          std::chrono::milliseconds(300));
  EXPECT_LT(sent, offeredFrames * frame.size());
  const std::size_t whole = sent / frame.size();
  for (std::size_t i = 0; i < whole; ++i) {
    const auto echo = health.client.readFrame();
    ASSERT_EQ(echo.payload.size(), 65536U);
  }
}

TEST(BridgeSessionFrames, ReassembledMessagesUpTo32MiB) {
  BridgeHarness harness;
  constexpr std::size_t eighth = 4 << 20;
  const std::string part(eighth, 'm');
  const std::string first = maskedFrame(0x02, part);
  const std::string middle = maskedFrame(0x00, part);
  {
    HealthSocket health(harness);
    health.client.send(first);
    for (int i = 0; i < 6; ++i) {
      health.client.send(middle);
    }
    health.client.sendFrame(0x80, part);
    const auto echo = health.client.readFrame();
    EXPECT_EQ(echo.header, bytes({130, 127, 0, 0, 0, 0, 2, 0, 0, 0}));
    EXPECT_EQ(echo.payload.size(), 8 * eighth);
  }
  HealthSocket health(harness);
  health.client.send(first);
  for (int i = 0; i < 7; ++i) {
    health.client.send(middle);
  }
  health.client.sendFrame(0x80, "x");
  EXPECT_EQ(health.client.readToEnd(), "");
  EXPECT_TRUE(harness.log.waitFor("[Quillfern][bridge] WebSocket 消息过大", testDeadline));
}

}  // namespace
}  // namespace quillfern::testing
