// The relay to the remote TCP server: connect with a time-out, the queue before the
// connection is ready, and both directions with flow control.

#include "bridge/BridgeMetrics.hpp"
#include "bridge/BridgeSession.hpp"
#include "log/Log.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/write.hpp>

#include <cassert>

namespace quillfern {

namespace {

constexpr std::size_t maximumPendingBytes = 33'554'432;

}  // namespace

void BridgeSession::connectRemote(const Target& remoteTarget) {
  assert(executor.running_in_this_thread());
  if (remoteTarget.port == 0) {
    phase = Phase::refused;
    sendCloseAndClose(1011, "Invalid TCP port");
    return;
  }
  // The time-out counts from the start of the attempt, name resolution included.
  connectTimer.expires_after(settings.connectTimeout);
  connectTimer.async_wait(guarded([](BridgeSession& self, const boost::system::error_code& error) {
    self.onConnectTimeout(error);
  }));
  boost::system::error_code notAnAddress;
  const auto address = asio::ip::make_address(remoteTarget.host, notAnAddress);
  if (!notAnAddress) {
    remote.async_connect(asio::ip::tcp::endpoint(address, remoteTarget.port),
                         guarded([](BridgeSession& self, const boost::system::error_code& error) {
                           self.onRemoteConnected(error);
                         }));
    return;
  }
  resolver.async_resolve(remoteTarget.host, std::to_string(remoteTarget.port),
                         asio::ip::resolver_base::numeric_service,
                         guarded([](BridgeSession& self, const boost::system::error_code& error,
                                    const asio::ip::tcp::resolver::results_type& endpoints) {
                           self.onResolved(error, endpoints);
                         }));
}

void BridgeSession::onResolved(const boost::system::error_code& error,
                               const asio::ip::tcp::resolver::results_type& endpoints) {
  if (error == asio::error::operation_aborted) {
    return;
  }
  if (error) {
    onConnectFailed(error);  // a name that does not resolve is a failed connection
    return;
  }
  // Trying one endpoint after another, the operation closes and reopens `remote` between its
  // steps, so it holds the session until it ends.
  asio::async_connect(remote, endpoints,
                      held([](BridgeSession& self, const boost::system::error_code& connectError,
                              const asio::ip::tcp::endpoint& /*endpoint*/) {
                        self.onRemoteConnected(connectError);
                      }));
}

void BridgeSession::onRemoteConnected(const boost::system::error_code& error) {
  assert(executor.running_in_this_thread());
  if (error == asio::error::operation_aborted) {
    return;
  }
  if (error) {
    onConnectFailed(error);
    return;
  }
  connectTimer.cancel();
  boost::system::error_code ignored;
  remote.set_option(asio::ip::tcp::no_delay(true), ignored);
  remote.non_blocking(true, ignored);
  phase = Phase::relaying;
  metrics->addActive();
  log(LogTag::tcp, "已连接 " + target->text());
  // What the client sent while the connection was being made goes first.
  if (!up.queue.empty() && remote.is_open()) {
    writeRemote();
  }
  if (remote.is_open()) {
    receiveRemote();
  }
}

void BridgeSession::onConnectFailed(const boost::system::error_code& error) {
  phase = Phase::refused;
  connectTimer.cancel();
  const std::string description = error.message();
  metrics->setLastError(description);
  log(LogTag::tcp, target->text() + " 连接失败：" + description);
  sendCloseAndClose(1011, "TCP connection failed");
}

void BridgeSession::onConnectTimeout(const boost::system::error_code& error) {
  // A timer that already fired cannot be cancelled, so check that the attempt is still open.
  if (error == asio::error::operation_aborted || phase != Phase::connecting) {
    return;
  }
  phase = Phase::refused;
  log(LogTag::tcp, target->text() + " 连接超时");
  // End the attempt now, so that it cannot still succeed while the close frame is written.
  resolver.cancel();
  boost::system::error_code ignored;
  remote.close(ignored);
  sendCloseAndClose(1011, "TCP connection timeout");
}

void BridgeSession::sendToRemote(std::vector<std::uint8_t> bytes) {
  assert(executor.running_in_this_thread());
  if (phase == Phase::closed) {
    return;
  }
  const std::size_t size = bytes.size();
  if (phase != Phase::relaying && up.pinned + size > maximumPendingBytes) {
    sendCloseAndClose(1009, "Pending data too large");
    return;
  }
  queueForRemote(UpPiece{.bytes = {.owned = std::move(bytes), .slice = {}}, .pinned = size});
}

// A whole message, in the chunks it was read into. Until the connection is up, and for a small
// message, the bytes are copied, so that a waiting queue pins no chunks and the limit on it
// counts bytes.
void BridgeSession::sendToRemote(ClientFrame message) {
  if (phase != Phase::relaying || message.size < smallRead) {
    sendToRemote(message.flatten());
    return;
  }
  for (ChunkSlice& slice : message.payload) {
    const std::uint8_t* lies = slice.chunk.get();
    const std::size_t charge = lies == upChunk ? 0 : ChunkPool::chunkSize;
    upChunk = lies;
    queueForRemote(UpPiece{.bytes = {.owned = {}, .slice = std::move(slice)}, .pinned = charge});
  }
}

void BridgeSession::queueForRemote(UpPiece piece) {
  up.pinned += piece.pinned;
  up.queue.push_back(std::move(piece));
}

// Called once the client's bytes at hand are consumed, so that the messages of one read leave
// in one gathered write: a message whose last bytes came at the start of a read would otherwise
// go out as a segment of its own.
void BridgeSession::flushRemote() {
  if (phase == Phase::relaying && remote.is_open() && up.inFlight == 0 && !up.queue.empty()) {
    writeRemote();
  }
}

void BridgeSession::writeRemote() {
  GatherList gather;
  up.inFlight = 0;
  for (const UpPiece& piece : up.queue) {
    if (up.inFlight == maximumBatch) {
      break;
    }
    gather.push_back(piece.bytes.buffer());
    ++up.inFlight;
  }
  asio::async_write(remote, gather,
                    held([](BridgeSession& self, const boost::system::error_code& error,
                            std::size_t /*written*/) { self.onRemoteWritten(error); }));
}

void BridgeSession::onRemoteWritten(const boost::system::error_code& error) {
  if (error) {
    if (error != asio::error::operation_aborted) {
      fail("TCP 上行失败：" + error.message());
    }
    return;
  }
  std::uint64_t written = 0;
  for (; up.inFlight > 0; --up.inFlight) {
    written += up.queue.front().bytes.buffer().size();
    up.pinned -= up.queue.front().pinned;
    up.queue.pop_front();
  }
  if (up.queue.empty()) {
    upChunk = nullptr;
  }
  metrics->addBytesUp(written);
  resumeReads();
  if (!up.queue.empty() && up.inFlight == 0) {
    writeRemote();
  }
}

// The one place the remote read is armed.
void BridgeSession::receiveRemote() {
  assert(executor.running_in_this_thread());
  if (phase == Phase::closed || !remote.is_open() || down.reading) {
    return;
  }
  if (down.pinned > highWater) {
    down.held = true;  // resumeReads() re-arms it once the client has caught up
    return;
  }
  assert(!down.held);  // as for the client read
  down.reading = true;
  remote.async_wait(SessionSocket::wait_read,
                    guarded([](BridgeSession& self, const boost::system::error_code& error) {
                      self.onRemoteReadable(error);
                    }));
}

void BridgeSession::onRemoteReadable(const boost::system::error_code& waitError) {
  down.reading = false;
  if (waitError == asio::error::operation_aborted) {
    return;
  }
  boost::system::error_code error = waitError;
  for (std::size_t reads = 0; !error && reads < drainBudget; ++reads) {
    // A chunk is taken only now that the socket is readable, so an idle session holds none.
    ChunkPool::Chunk chunk = chunks.take();
    const std::size_t count = remote.read_some(asio::buffer(chunk.get(), readSize), error);
    if (count > 0) {
      metrics->addBytesDown(count);
      sendServerBytes(std::move(chunk), count);
    }
    if (count < readSize || phase == Phase::closed || down.pinned > highWater) {
      break;
    }
  }
  // When a write to the server took its reset, the read sees only the end of the stream; a
  // reset is a failure, not an orderly end.
  if (error == asio::error::eof) {
    if (const auto reset = pendingError(remote)) {
      error = reset;
    }
  }
  if (error == asio::error::eof) {
    sendCloseAndClose(1000, "TCP closed");
  } else if (error && error != asio::error::would_block) {
    fail("TCP 下行失败：" + error.message());
  } else {
    receiveRemote();  // would_block: readable was a false alarm
  }
}

}  // namespace quillfern
