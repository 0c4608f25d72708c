// One connection accepted by the loopback bridge: it reads one HTTP request, answers it or
// upgrades to a WebSocket, and then echoes (health) or relays to one remote TCP server. The
// bridge's registry owns each session (std::shared_ptr); handlers hold it weakly, except those
// of composed writes and connects (see held()). All members run on the session's worker,
// except create(), start() and stop().
#pragma once

#include "bridge/Asio.hpp"
#include "bridge/ChunkPool.hpp"
#include "bridge/ClientFrameReader.hpp"
#include "bridge/FragmentAssembler.hpp"
#include "bridge/HttpRequest.hpp"
#include "bridge/ReceiveBuffer.hpp"
#include "bridge/SessionError.hpp"
#include "bridge/Target.hpp"
#include "bridge/WebSocketFrameCodec.hpp"

#include <boost/container/static_vector.hpp>
#include <boost/uuid/uuid.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillfern {

class BridgeMetrics;
class HostAllowlist;

class BridgeSession : public std::enable_shared_from_this<BridgeSession> {
public:
  using SessionError = quillfern::SessionError;
  using HTTPRequest = quillfern::HTTPRequest;
  using Uuid = boost::uuids::uuid;
  // Called once, by close(), on the session's worker.
  using OnClose = std::function<void(const Uuid&)>;

  // Fixed per bridge; tests shorten the time-outs.
  struct Settings {
    std::chrono::steady_clock::duration connectTimeout = std::chrono::seconds(10);
    // From accept until the request head is complete. A connection that never finishes its
    // head would otherwise hold a session and a descriptor for good. Upgraded sessions have
    // no idle limit: a game may stay quiet for a long time.
    std::chrono::steady_clock::duration requestTimeout = std::chrono::seconds(30);
    // The port the bridge listens on, which a request's Host header may name. Set by the
    // bridge once it listens.
    std::uint16_t listenPort = 0;
  };

  // client's executor is the worker's context the session lives on for good; chunkPool is
  // that worker's, and outlives the session.
  [[nodiscard]] static std::shared_ptr<BridgeSession> create(
      Uuid sessionId, SessionSocket clientSocket, std::shared_ptr<HostAllowlist> hostAllowlist,
      std::shared_ptr<BridgeMetrics> bridgeMetrics, OnClose closeCallback, Settings settings,
      ChunkPool& chunkPool);

  BridgeSession(const BridgeSession&) = delete;
  BridgeSession& operator=(const BridgeSession&) = delete;
  BridgeSession(BridgeSession&&) = delete;
  BridgeSession& operator=(BridgeSession&&) = delete;
  ~BridgeSession() = default;

  // Starts reading the client on the session's worker. Any thread.
  void start();
  // Schedules close() on the session's worker and keeps the session alive until it has run.
  // Any thread.
  void stop();

private:
  // Bytes waiting to be written: owned, or a piece of a pooled chunk that a read filled, which
  // travels on to the other socket with no copy.
  struct HeldBytes {
    std::vector<std::uint8_t> owned;
    ChunkSlice slice;

    [[nodiscard]] asio::const_buffer buffer() const {
      return slice.chunk ? asio::const_buffer(slice.bytes().data(), slice.size)
                         : asio::const_buffer(owned.data(), owned.size());
    }
  };

  // A write waiting for the client: a frame header (empty for raw bytes) and its payload, sent
  // together in one gathered write, then the completion, if any.
  using Completion = std::function<void(BridgeSession&)>;
  struct OutgoingFrame {
    ServerFrameHeader header;
    HeldBytes payload;
    Completion completion;

    // The memory the frame holds while it waits, which is what the watermarks count: a chunk
    // is held whole however few of its bytes are used.
    [[nodiscard]] std::size_t pinned() const {
      return header.size + (payload.slice.chunk ? ChunkPool::chunkSize : payload.owned.size());
    }
  };

  // Bytes for the server: owned, or the piece of a chunk that a client frame was read into.
  struct UpPiece {
    HeldBytes bytes;
    std::size_t pinned = 0;  // what the piece is charged against the watermarks
  };

  // Frames or blocks written by one gathered write, at most; Asio hands up to 64 buffers to
  // one writev.
  static constexpr std::size_t maximumBatch = 32;
  // The buffer list of one gathered write. It travels inside the write operation by value, so
  // a completion that arrives after the session is gone reads no freed memory.
  using GatherList = boost::container::static_vector<asio::const_buffer, 2 * maximumBatch>;

  // Each read from either socket takes at most this many bytes.
  static constexpr std::size_t readSize = ChunkPool::chunkSize;
  // A server read or a client message shorter than this is copied out of its chunk, which goes
  // back to the pool soon: a slow trickle of small reads then holds little memory.
  static constexpr std::size_t smallRead = 4096;
  // Reads of one socket per wake-up, at most: a read that fills readSize bytes is followed by
  // another at once, without waiting for readiness again, until a short read shows the socket
  // drained, a queue passes the high-water mark, or the budget is spent and the worker's other
  // sessions get their turn.
  static constexpr std::size_t drainBudget = 4;
  // Flow control: a side's read is not re-armed while more than highWater bytes wait to be
  // written to the other side, and resumes once the queue is down to lowWater.
  static constexpr std::size_t highWater = 1 << 20;
  static constexpr std::size_t lowWater = 256 << 10;

  const Uuid id;
  const std::shared_ptr<HostAllowlist> allowlist;
  const std::shared_ptr<BridgeMetrics> metrics;
  const OnClose onClose;
  const Settings settings;
  const SessionExecutor executor;
  ChunkPool& chunks;

  // Where the session is in its life. Until the request is answered the client's bytes go to
  // the head buffer, and from the upgrade on to the frame reader.
  enum class Phase {
    awaitingHTTP,  // reading the request head; the request deadline is armed
    answering,     // an HTTP response is queued; its write's completion closes the session
    health,        // upgraded on /health: echoes
    connecting,    // upgraded to a relay; the connect and its timer are pending
    refused,       // upgraded to a relay whose connection failed or timed out: the close frame
                   // that says so is on its way, and `up` is never written
    relaying,      // connected; counted in the bridge's `active` exactly in this phase
    closed,
  };
  // Bytes read on one socket, waiting to be written to the other.
  template <class Block>
  struct Pump {
    std::deque<Block> queue;  // in order; the first inFlight are being written
    std::size_t pinned = 0;   // memory the queue holds, charged against the watermarks
    std::size_t inFlight = 0;
    bool reading = false;  // a read is armed on the source socket
    bool held = false;     // the read is not re-armed until the queues drain (resumeReads())
  };

  Phase phase = Phase::awaitingHTTP;
  std::optional<Target> target;  // set exactly from connecting on
  ReceiveBuffer buffer;
  std::size_t headSearched = 0;  // leading bytes of buffer known to hold no complete head
  ClientFrameReader frames;
  FragmentAssembler fragments;
  // Client to server: the client read, and messages for the server. Before relaying it is the
  // queue that waits for the connection, bounded on its own (not by the watermarks).
  Pump<UpPiece> up;
  // The chunk that the newest piece in `up` lies in: charged once, by its first piece, however
  // many messages it holds. Cleared when `up` empties.
  const std::uint8_t* upChunk = nullptr;
  // Server to client: the server read, and every write to the client (responses, frames,
  // echoes, pongs, close frames). One gathered write in flight.
  Pump<OutgoingFrame> down;
  bool clientWatched = false;  // an error wait on the client is armed (see watchClient())

  // Sockets, resolver and timer last: destroyed first, so no operation can still use the
  // buffers and queues above.
  SessionSocket client;
  SessionSocket remote;
  SessionResolver resolver;
  SessionTimer connectTimer;
  SessionTimer requestTimer;

  BridgeSession(Uuid sessionId, SessionSocket clientSocket,
                std::shared_ptr<HostAllowlist> hostAllowlist,
                std::shared_ptr<BridgeMetrics> bridgeMetrics, OnClose closeCallback,
                Settings sessionSettings, ChunkPool& chunkPool);

  // Calls fn only while the session lives and is open.
  template <class Fn>
  auto guarded(Fn fn) {
    return [weak = weak_from_this(), fn = std::move(fn)](auto&&... args) {
      const auto self = weak.lock();
      if (self && self->phase != Phase::closed) {
        fn(*self, std::forward<decltype(args)>(args)...);
      }
    };
  }
  // Like guarded(), but keeps the session alive until the operation ends. For composed
  // operations (async_write, async_connect over several endpoints): they go on using the socket
  // between their steps before any handler of ours runs, so the socket must outlive them.
  // close() cancels them, which ends the hold.
  template <class Fn>
  auto held(Fn fn) {
    return [self = shared_from_this(), fn = std::move(fn)](auto&&... args) {
      if (self->phase != Phase::closed) {
        fn(*self, std::forward<decltype(args)>(args)...);
      }
    };
  }

  // Life cycle (BridgeSession.cpp).
  void onStarted();
  void fail(std::string_view message);
  void close();
  void receiveClient();
  void onClientReadable(const boost::system::error_code& error);
  // One read of the client; true when it filled the room it had, so more may be waiting.
  [[nodiscard]] bool readRequest(boost::system::error_code& error);
  [[nodiscard]] bool readFrames(boost::system::error_code& error);
  void consumeBuffer();
  void takeOver(std::span<const std::uint8_t> bytes);
  void consumeFrames();
  // Each takes one request or frame and handles it; false when none is whole yet or the session
  // has ended or answered.
  [[nodiscard]] bool consumeRequest();
  [[nodiscard]] bool consumeFrame();
  [[nodiscard]] bool clientBacklogged() const;
  [[nodiscard]] bool isRelay() const;
  // What `up` holds that counts against the watermarks: nothing before relaying.
  [[nodiscard]] std::size_t upCharged() const;
  void watchClient();
  void onClientError(const boost::system::error_code& error);
  // The error the socket holds for its next call, if any: what a reset leaves behind.
  [[nodiscard]] static boost::system::error_code pendingError(SessionSocket& socket);

  // The one write path to the client (BridgeSessionWrite.cpp).
  void sendRaw(std::vector<std::uint8_t> bytes, Completion completion = {});
  void queueForClient(OutgoingFrame frame);
  void writeClient();
  void onClientWritten(const boost::system::error_code& error);
  void resumeReads();

  // HTTP front (BridgeSessionHttp.cpp).
  void armRequestDeadline();
  void onRequestDeadline(const boost::system::error_code& error);
  [[nodiscard]] boost::system::result<std::optional<HTTPRequest>> nextHTTPRequest();
  void handle(const HTTPRequest& request);
  void refuseFoldedHeader();
  void handlePlainHTTP(std::string_view path);
  void sendHTTP(int code, std::string_view reason, std::string_view body,
                std::string_view contentType);

  // WebSocket handshake (BridgeSessionHandshake.cpp).
  void handleUpgrade(const HTTPRequest& request, std::string_view path);
  void sendWebSocketAccept(std::string_view key, std::optional<std::string_view> protocols);

  // WebSocket frames (BridgeSessionFrames.cpp).
  [[nodiscard]] boost::system::error_code handle(ClientFrame frame);
  void deliverMessage(std::uint8_t messageOpcode, std::vector<std::uint8_t> payload);
  void sendFrame(std::uint8_t frameOpcode, std::vector<std::uint8_t> payload,
                 Completion completion = {});
  void sendServerBytes(ChunkPool::Chunk chunk, std::size_t count);
  void sendCloseAndClose(std::uint16_t code, std::string_view reason);

  // Remote TCP relay (BridgeSessionRelay.cpp).
  void connectRemote(const Target& remoteTarget);
  void onResolved(const boost::system::error_code& error,
                  const asio::ip::tcp::resolver::results_type& endpoints);
  void onRemoteConnected(const boost::system::error_code& error);
  void onConnectFailed(const boost::system::error_code& error);
  void onConnectTimeout(const boost::system::error_code& error);
  void sendToRemote(std::vector<std::uint8_t> bytes);
  void sendToRemote(ClientFrame message);
  void queueForRemote(UpPiece piece);
  void flushRemote();
  void writeRemote();
  void onRemoteWritten(const boost::system::error_code& error);
  void receiveRemote();
  void onRemoteReadable(const boost::system::error_code& error);
};

}  // namespace quillfern
