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

constexpr std::int64_t maximumPendingBytes = 33'554'432;

}  // namespace

void BridgeSession::connectRemote(const Target& remoteTarget) {
  assert(executor.running_in_this_thread());
  if (remoteTarget.port == 0) {
    sendCloseAndClose(1011, "Invalid TCP port");
    return;
  }
  remoteConnecting = true;
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
  remoteConnecting = false;
  connectTimer.cancel();
  boost::system::error_code ignored;
  remote.set_option(asio::ip::tcp::no_delay(true), ignored);
  remote.non_blocking(true, ignored);
  remoteReady = true;
  remoteCounted = true;
  metrics->addActive();
  log(LogTag::tcp, "已连接 " + target->text());
  auto pending = std::move(pendingToRemote);
  pendingToRemote.clear();
  pendingByteCount = 0;
  for (auto& block : pending) {
    sendToRemote(std::move(block));
  }
  if (!closed && remote.is_open()) {
    receiveRemote();
  }
}

void BridgeSession::onConnectFailed(const boost::system::error_code& error) {
  remoteConnecting = false;
  connectTimer.cancel();
  const std::string description = error.message();
  metrics->setLastError(description);
  log(LogTag::tcp, target->text() + " 连接失败：" + description);
  sendCloseAndClose(1011, "TCP connection failed");
}

void BridgeSession::onConnectTimeout(const boost::system::error_code& error) {
  // A timer that already fired cannot be cancelled, so check that the attempt is still open.
  if (error == asio::error::operation_aborted || remoteReady || !remoteConnecting) {
    return;
  }
  remoteConnecting = false;
  log(LogTag::tcp, target->text() + " 连接超时");
  // End the attempt now, so that it cannot still succeed while the close frame is written.
  resolver.cancel();
  boost::system::error_code ignored;
  remote.close(ignored);
  sendCloseAndClose(1011, "TCP connection timeout");
}

void BridgeSession::sendToRemote(std::vector<std::uint8_t> bytes) {
  assert(executor.running_in_this_thread());
  if (closed) {
    return;
  }
  if (remoteReady && remote.is_open()) {
    toRemoteBytes += bytes.size();
    toRemote.push_back(std::move(bytes));
    if (remoteBatch == 0) {
      writeRemote();
    }
    return;
  }
  pendingByteCount += static_cast<std::int64_t>(bytes.size());
  if (pendingByteCount > maximumPendingBytes) {
    sendCloseAndClose(1009, "Pending data too large");
    return;
  }
  pendingToRemote.push_back(std::move(bytes));
}

void BridgeSession::writeRemote() {
  GatherList gather;
  remoteBatch = 0;
  for (const auto& block : toRemote) {
    if (remoteBatch == maximumBatch) {
      break;
    }
    gather.emplace_back(block.data(), block.size());
    ++remoteBatch;
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
  for (; remoteBatch > 0; --remoteBatch) {
    written += toRemote.front().size();
    toRemote.pop_front();
  }
  toRemoteBytes -= written;
  metrics->addBytesUp(written);
  resumeReads();
  if (!toRemote.empty() && remoteBatch == 0) {
    writeRemote();
  }
}

// The one place the remote read is armed.
void BridgeSession::receiveRemote() {
  assert(executor.running_in_this_thread());
  if (closed || !remote.is_open() || remoteReading) {
    return;
  }
  if (toClientBytes > highWater) {
    remoteReadHeld = true;  // resumeReads() re-arms it once the client has caught up
    return;
  }
  remoteReading = true;
  remote.async_wait(SessionSocket::wait_read,
                    guarded([](BridgeSession& self, const boost::system::error_code& error) {
                      self.onRemoteReadable(error);
                    }));
}

void BridgeSession::onRemoteReadable(const boost::system::error_code& waitError) {
  remoteReading = false;
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
    if (count < readSize || closed || toClientBytes > highWater) {
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
