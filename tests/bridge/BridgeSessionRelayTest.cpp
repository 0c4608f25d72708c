#include "BridgeHarness.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace quillfern::testing {
namespace {

using std::chrono::milliseconds;

// A client upgraded to a relay to `server`, and the server's side of the connection.
class Relay {
public:
  Relay(BridgeHarness& harness, TestListener& server, std::string_view framesBehind = "")
      : client(harness.port()) {
    client.send(upgradeRequest(targetPath(server.port())) + std::string(framesBehind));
    EXPECT_EQ(client.readHead(), switchingProtocols());
    server.accept(remote);
  }
  TestPeer client;
  TestPeer remote;
};

TEST(BridgeSessionRelay, MessagesBeforeTheConnectionArriveInOrder) {
  TestListener server;
  BridgeHarness harness({targetKey(server.port())});
  // Sent with the upgrade request, so they are read before the connection can be ready.
  Relay relay(harness, server,
              maskedFrame(0x82, "one,") + maskedFrame(0x01, "tw") + maskedFrame(0x80, "o,")
                  + maskedFrame(0x81, "three"));
  EXPECT_EQ(relay.remote.read(13), "one,two,three");
  relay.client.sendFrame(0x81, "hello");  // a text message goes as its bytes, unframed
  EXPECT_EQ(relay.remote.read(5), "hello");
  EXPECT_TRUE(eventually([&] { return harness.metrics().bytesUp == 18; }));
  EXPECT_TRUE(harness.log.contains("[Quillfern][tcp] 已连接 " + targetKey(server.port())));
}

TEST(BridgeSessionRelay, ServerBytesComeBackAsBinaryFramesOfAtMost64KiB) {
  TestListener server;
  BridgeHarness harness({targetKey(server.port())});
  Relay relay(harness, server);
  std::string sent(100'000, '\0');
  for (std::size_t i = 0; i < sent.size(); ++i) {
    sent[i] = static_cast<char>(i % 251);
  }
  relay.remote.send(sent);
  std::string received;
  std::vector<TestPeer::Frame> frames;
  while (received.size() < sent.size() && frames.size() < 1000) {
    frames.push_back(relay.client.readFrame());
    received += frames.back().payload;
  }
  EXPECT_EQ(received, sent);
  EXPECT_GE(frames.size(), 2U);
  for (const TestPeer::Frame& frame : frames) {
    EXPECT_EQ(frame.first, 0x82);
    EXPECT_LE(frame.payload.size(), 65536U);
  }
  EXPECT_EQ(harness.metrics().bytesDown, 100'000U);
}

TEST(BridgeSessionRelay, ServerEndOfStreamSendsDataThenClose1000) {
  TestListener server;
  BridgeHarness harness({targetKey(server.port())});
  Relay relay(harness, server);
  relay.remote.send("bye");
  relay.remote.close();
  EXPECT_EQ(relay.client.readToEnd(), bytes({0x82, 3}) + "bye" + closeFrame(1000, "TCP closed"));
  EXPECT_TRUE(harness.registryEmpties());
}

TEST(BridgeSessionRelay, RefusedConnectionClosesWith1011) {
  const std::uint16_t refused = refusingPort();
  BridgeHarness harness({targetKey(refused)});
  TestPeer client(harness.port());
  client.send(upgradeRequest(targetPath(refused)));
  EXPECT_EQ(client.readHead(), switchingProtocols());
  EXPECT_EQ(client.readToEnd(), closeFrame(1011, "TCP connection failed"));
  EXPECT_EQ(harness.metrics().lastError, "Connection refused");
  EXPECT_TRUE(harness.log.contains("[Quillfern][tcp] " + targetKey(refused)
                                   + " 连接失败：Connection refused"));
  EXPECT_EQ(harness.metrics().active, 0);
}

TEST(BridgeSessionRelay, UnansweredConnectTimesOutWith1011) {
  // With a backlog of 0 and one connection waiting, the listener answers no further connect.
  TestListener silent(0);
  const TestPeer filler(silent.port());
  BridgeHarness harness({targetKey(silent.port())}, milliseconds(200));
  TestPeer client(harness.port());
  client.send(upgradeRequest(targetPath(silent.port())));
  EXPECT_EQ(client.readHead(), switchingProtocols());
  EXPECT_EQ(client.readToEnd(), closeFrame(1011, "TCP connection timeout"));
  EXPECT_TRUE(harness.log.contains("[Quillfern][tcp] " + targetKey(silent.port()) + " 连接超时"));
  EXPECT_EQ(harness.metrics().lastError, "");
  EXPECT_EQ(harness.metrics().active, 0);
}

TEST(BridgeSessionRelay, PendingQueueHolds32MiBAndRefusesOneByteMore) {
  TestListener silent(0);
  const TestPeer filler(silent.port());
  BridgeHarness harness({targetKey(silent.port())}, std::chrono::minutes(5));
  TestPeer client(harness.port());
  client.send(upgradeRequest(targetPath(silent.port())));
  EXPECT_EQ(client.readHead(), switchingProtocols());
  const std::string quarter = maskedFrame(0x82, std::string(8 << 20, 'q'));
  for (int i = 0; i < 4; ++i) {
    client.send(quarter);
  }
  client.sendFrame(0x82, "x");
  EXPECT_EQ(client.readToEnd(), closeFrame(1009, "Pending data too large"));
  EXPECT_EQ(harness.metrics().lastError, "");
}

TEST(BridgeSessionRelay, ActiveCountsReadyConnectionsUntilTheyClose) {
  TestListener server;
  BridgeHarness harness({targetKey(server.port())});
  {
    Relay first(harness, server);
    Relay second(harness, server);
    EXPECT_TRUE(eventually([&] { return harness.metrics().active == 2; }));
    first.client.close();
    EXPECT_TRUE(eventually([&] { return harness.metrics().active == 1; }));
    EXPECT_TRUE(first.remote.closedByPeer());
  }
  EXPECT_TRUE(eventually([&] { return harness.metrics().active == 0; }));
  EXPECT_TRUE(harness.registryEmpties());
}

// Flow control: a reader that does not keep up stops the bridge from reading the other side,
// and nothing is lost or reordered once it catches up.
TEST(BridgeSessionRelay, SlowClientHoldsTheServerBack) {
  TestListener server;
  BridgeHarness harness({targetKey(server.port())});
  Relay relay(harness, server);
  constexpr std::size_t offered = 64 << 20;
  const std::size_t sent =
      relay.remote.sendUntilStalled(std::string(65536, 'x'), offered, milliseconds(300));
  EXPECT_LT(sent, offered);
  EXPECT_LT(harness.metrics().bytesDown, 16U << 20);  // about 1 MiB queued plus socket buffers
  std::size_t received = 0;
  while (received < sent) {
    const auto frame = relay.client.readFrame();
    ASSERT_EQ(frame.payload.find_first_not_of('x'), std::string::npos);
    received += frame.payload.size();
  }
  EXPECT_EQ(received, sent);
}

TEST(BridgeSessionRelay, SlowServerHoldsTheClientBack) {
  TestListener server;
  BridgeHarness harness({targetKey(server.port())});
  Relay relay(harness, server);
  const std::string message(65536, 'u');
  const std::string frame = maskedFrame(0x82, message);
  constexpr std::size_t offeredFrames = 1024;
  const std::size_t sent =
      relay.client.sendUntilStalled(frame, offeredFrames * frame.size(), milliseconds(300));
  EXPECT_LT(sent, offeredFrames * frame.size());
  // The server catches up while the client completes the frame the stall cut short.
  const std::size_t frames = (sent + frame.size() - 1) / frame.size();
  std::string arrived;
  std::thread reader([&] { arrived = relay.remote.read(frames * message.size()); });
  if (sent % frame.size() != 0) {
    relay.client.send(std::string_view(frame).substr(sent % frame.size()));
  }
  reader.join();
  EXPECT_EQ(arrived.size(), frames * message.size());
  EXPECT_EQ(arrived.find_first_not_of('u'), std::string::npos);
  EXPECT_TRUE(eventually([&] { return harness.metrics().bytesUp == frames * message.size(); }));
}

// A client that resets while the bridge holds its reads back for a server that does not read
// ends its session at once, instead of when the server next reads.
TEST(BridgeSessionRelay, ClientResetWhileHeldBackEndsTheSessionAtOnce) {
  TestListener server;
  BridgeHarness harness({targetKey(server.port())});
  Relay relay(harness, server);
  const std::string frame = maskedFrame(0x82, std::string(65536, 'u'));
  (void)relay.client.sendUntilStalled(frame, 1024 * frame.size(), milliseconds(300));
  EXPECT_EQ(harness.metrics().active, 1);
  relay.client.reset();
  EXPECT_TRUE(harness.registryEmpties());
  EXPECT_EQ(harness.metrics().active, 0);
  EXPECT_EQ(harness.metrics().lastError, "读取本地 WebSocket 失败：Connection reset by peer");
  EXPECT_NO_THROW((void)relay.remote.readToEnd());  // the server's connection ends too
}

}  // namespace
}  // namespace quillfern::testing
