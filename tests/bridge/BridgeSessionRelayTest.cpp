#include "BridgeHarness.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace quillfern::testing {
namespace {

using namespace std::chrono_literals;

// A game server on a loop of its own, a bridge with it on its allowlist, and a client upgraded
// to a relay to it. framesBehind go out with the upgrade request; written oddly, the path names
// the port with a leading zero and carries a query, which the bridge ignores, and the request
// offers sub-protocols, of which the bridge chooses one.
class Relay {
public:
  explicit Relay(std::string_view framesBehind = "", bool writtenOddly = false) {
    const std::string port = std::to_string(server.port());
    const std::string offer = writtenOddly ? "Sec-WebSocket-Protocol: chat , Binary\r\n" : "";
    client.send(
        upgradeRequest(writtenOddly ? "/127.0.0.1/0" + port + "?x=1" : targetPath(server.port()),
                       offer)
        + std::string(framesBehind));
    std::string answer = switchingProtocols();
    answer.insert(answer.size() - 2, writtenOddly ? "Sec-WebSocket-Protocol: Binary\r\n" : "");
    EXPECT_EQ(client.readHead(), answer);
    server.accept(remote);
  }

  Loop serverLoop;
  Listener server{serverLoop};
  BridgeHarness harness{{targetKey(server.port())}};
  Peer client{harness.loop, harness.port()};
  Peer remote{serverLoop};
};

TEST(BridgeSessionRelay, MessagesBeforeTheConnectionArriveInOrderAndTheEndAfterTheData) {
  // Sent with the upgrade request, so they are read before the connection can be ready.
  Relay relay(ws::clientFrame(0x82, "one,") + ws::clientFrame(0x01, "tw")
                  + ws::clientFrame(0x80, "o,") + ws::clientFrame(0x81, "three"),
              true);
  EXPECT_EQ(relay.remote.read(13), "one,two,three");
  relay.client.send(ws::clientFrame(0x81, "hello"));  // a text message goes as its bytes
  EXPECT_EQ(relay.remote.read(5), "hello");
  EXPECT_TRUE(relay.harness.loop.runUntil([&] { return relay.harness.metrics().bytesUp == 18; }));
  EXPECT_TRUE(
      relay.harness.log.contains("[Quillfern][tcp] 已连接 " + targetKey(relay.server.port())));
  // The server's end of stream: its last bytes, then a close 1000.
  relay.remote.send("bye");
  relay.remote.close();
  EXPECT_EQ(relay.client.readToEnd(),
            bytes({0x82, 3}) + "bye" + ws::closeFrame(1000, "TCP closed"));
  EXPECT_TRUE(relay.harness.settles());
}

TEST(BridgeSessionRelay, RefusedOrUnansweredConnectClosesWith1011) {
  Loop loop;
  const Listener silent(loop, Listener::Kind::silent);
  // Nothing listens on a port just let go, so a connect to it is refused.
  const std::uint16_t refused = Listener(loop).port();
  BridgeHarness harness({targetKey(refused), targetKey(silent.port())}, 200ms);
  struct Case {
    std::uint16_t port;
    std::string close, logLine, lastError;
  };
  for (const Case& c : {
           Case{silent.port(), "TCP connection timeout", " 连接超时", ""},  // not an error
           Case{refused, "TCP connection failed", " 连接失败：Connection refused",
                "Connection refused"},
       }) {
    SCOPED_TRACE(c.close);
    Peer client(harness.loop, harness.port());
    harness.upgrade(client, targetPath(c.port));
    EXPECT_EQ(client.readToEnd(), ws::closeFrame(1011, c.close));
    EXPECT_TRUE(harness.log.contains("[Quillfern][tcp] " + targetKey(c.port) + c.logLine));
    EXPECT_EQ(harness.metrics().lastError, c.lastError);
  }
  EXPECT_TRUE(harness.settles());
}

TEST(BridgeSessionRelay, PendingQueueHolds32MiBAndRefusesOneByteMore) {
  Loop loop;
  const Listener silent(loop, Listener::Kind::silent);
  BridgeHarness harness({targetKey(silent.port())}, std::chrono::minutes(5));
  Peer client(harness.loop, harness.port());
  harness.upgrade(client, targetPath(silent.port()));
  const std::string quarter = ws::clientFrame(0x82, std::string(8 << 20, 'q'));
  for (int i = 0; i < 4; ++i) {
    client.send(quarter);
  }
  client.send(ws::clientFrame(0x89, "still open?"));  // answered only while the session lives
  EXPECT_EQ(client.readFrame().payload, "still open?");
  client.send(ws::clientFrame(0x82, "x"));
  EXPECT_EQ(client.readToEnd(), ws::closeFrame(1009, "Pending data too large"));
  EXPECT_EQ(harness.metrics().lastError, "");
}

// Flow control: a reader that does not keep up stops the bridge from reading the other side,
// and nothing is lost or reordered once it catches up. Server bytes come back as binary frames
// of at most 64 KiB.
TEST(BridgeSessionRelay, SlowClientHoldsTheServerBack) {
  Relay relay;
  constexpr std::size_t offered = 64 << 20;
  const std::string unit = patternedBytes(100'000, 1);
  const std::size_t sent = relay.remote.sendUntilStalled(unit, offered, 300ms);
  EXPECT_LT(sent, offered);
  EXPECT_LT(relay.harness.metrics().bytesDown, 16U << 20);  // about 1 MiB queued plus buffers
  for (std::size_t received = 0; received < sent;) {
    const ws::Frame frame = relay.client.readFrame();
    ASSERT_EQ(frame.first, 0x82);
    ASSERT_LE(frame.payload.size(), 65536U);
    for (const char c : frame.payload) {
      ASSERT_EQ(c, unit[received++ % unit.size()]) << received;  // nothing lost or reordered
    }
  }
}

TEST(BridgeSessionRelay, SlowServerHoldsTheClientBack) {
  Relay relay;
  const std::string message(65536, 'u');
  const std::string frame = ws::clientFrame(0x82, message);
  constexpr std::size_t offeredFrames = 1024;
  const std::size_t sent =
      relay.client.sendUntilStalled(frame, offeredFrames * frame.size(), 300ms);
  EXPECT_LT(sent, offeredFrames * frame.size());
  // The server catches up on a thread of its own while the client completes the frame the
  // stall cut short.
  const std::size_t frames = (sent + frame.size() - 1) / frame.size();
  std::string arrived;
  std::thread reader([&] { arrived = relay.remote.read(frames * message.size()); });
  if (sent % frame.size() != 0) {
    relay.client.send(std::string_view(frame).substr(sent % frame.size()));
  }
  reader.join();
  EXPECT_EQ(arrived.size(), frames * message.size());
  EXPECT_EQ(arrived.find_first_not_of('u'), std::string::npos);
  EXPECT_TRUE(relay.harness.loop.runUntil(
      [&] { return relay.harness.metrics().bytesUp == frames * message.size(); }));
}

// A client that resets while the bridge holds its reads back for a server that does not read
// ends its session at once, instead of when the server next reads.
TEST(BridgeSessionRelay, ClientResetWhileHeldBackEndsTheSessionAtOnce) {
  Relay relay;
  const std::string frame = ws::clientFrame(0x82, std::string(65536, 'u'));
  (void)relay.client.sendUntilStalled(frame, 1024 * frame.size(), 300ms);
  EXPECT_EQ(relay.harness.metrics().active, 1);
  relay.client.reset();
  EXPECT_TRUE(relay.harness.settles());
  EXPECT_EQ(relay.harness.metrics().lastError, "读取本地 WebSocket 失败：Connection reset by peer");
  EXPECT_NO_THROW((void)relay.remote.readToEnd());  // the server's connection ends too
}

}  // namespace
}  // namespace quillfern::testing
