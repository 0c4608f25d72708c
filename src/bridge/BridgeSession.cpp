#include "bridge/BridgeSession.hpp"

#include "bridge/BridgeMetrics.hpp"
#include "log/Log.hpp"
#include "policy/HostAllowlist.hpp"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <array>
#include <cassert>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace quillfern {

std::shared_ptr<BridgeSession> BridgeSession::create(Uuid sessionId, SessionSocket clientSocket,
                                                     std::shared_ptr<HostAllowlist> hostAllowlist,
                                                     std::shared_ptr<BridgeMetrics> bridgeMetrics,
                                                     OnClose closeCallback, Settings settings,
                                                     ChunkPool& chunkPool) {
  // The constructor is private; make_shared cannot reach it.
  return std::shared_ptr<BridgeSession>(
      new BridgeSession(sessionId, std::move(clientSocket), std::move(hostAllowlist),
                        std::move(bridgeMetrics), std::move(closeCallback), settings, chunkPool));
}

BridgeSession::BridgeSession(Uuid sessionId, SessionSocket clientSocket,
                             std::shared_ptr<HostAllowlist> hostAllowlist,
                             std::shared_ptr<BridgeMetrics> bridgeMetrics, OnClose closeCallback,
                             Settings sessionSettings, ChunkPool& chunkPool)
    : id(sessionId),
      allowlist(std::move(hostAllowlist)),
      metrics(std::move(bridgeMetrics)),
      onClose(std::move(closeCallback)),
      settings(sessionSettings),
      executor(clientSocket.get_executor()),
      chunks(chunkPool),
      frames(chunkPool),
      client(std::move(clientSocket)),
      remote(executor),
      resolver(executor),
      connectTimer(executor),
      requestTimer(executor) {}

void BridgeSession::start() {
  asio::post(executor, guarded([](BridgeSession& self) { self.onStarted(); }));
}

void BridgeSession::stop() {
  // Holds the session strongly: the registry may already have let go of it.
  asio::post(executor, [self = shared_from_this()] { self->close(); });
}

void BridgeSession::onStarted() {
  assert(executor.running_in_this_thread());
  boost::system::error_code ignored;
  // A game: latency matters more than the number of packets.
  client.set_option(asio::ip::tcp::no_delay(true), ignored);
  // Reads wait for readability first and then read what is there without blocking.
  client.non_blocking(true, ignored);
  armRequestDeadline();
  receiveClient();
}

void BridgeSession::fail(std::string_view message) {
  assert(executor.running_in_this_thread());
  if (phase == Phase::closed) {
    return;
  }
  metrics->setLastError(std::string(message));
  log(LogTag::bridge, message);
  close();
}

void BridgeSession::close() {
  assert(executor.running_in_this_thread());
  if (phase == Phase::closed) {
    return;
  }
  const bool wasRelaying = phase == Phase::relaying;
  phase = Phase::closed;
  boost::system::error_code ignored;
  client.close(ignored);
  resolver.cancel();
  connectTimer.cancel();
  requestTimer.cancel();
  if (remote.is_open()) {
    remote.close(ignored);
  }
  if (wasRelaying) {
    metrics->removeActive();
  }
  onClose(id);
}

bool BridgeSession::clientBacklogged() const {
  // Client input feeds both queues: messages for the server, and echoes, pongs and close
  // echoes for the client itself.
  return upCharged() > highWater || down.pinned > highWater;
}

bool BridgeSession::isRelay() const {
  return phase == Phase::connecting || phase == Phase::refused || phase == Phase::relaying;
}

std::size_t BridgeSession::upCharged() const {
  return phase == Phase::relaying ? up.pinned : 0;
}

// The one place the client read is armed.
void BridgeSession::receiveClient() {
  assert(executor.running_in_this_thread());
  if (phase == Phase::closed || up.reading) {
    return;
  }
  if (clientBacklogged()) {
    up.held = true;  // resumeReads() re-arms it once the queues drain
    watchClient();
    return;
  }
  // Only resumeReads() lifts a hold, and only at the low-water mark: reads never resume
  // between the two marks, so a backlogged side alternates between held and drained.
  assert(!up.held);
  up.reading = true;
  client.async_wait(SessionSocket::wait_read,
                    guarded([](BridgeSession& self, const boost::system::error_code& error) {
                      self.onClientReadable(error);
                    }));
}

void BridgeSession::onClientReadable(const boost::system::error_code& waitError) {
  up.reading = false;
  if (waitError == asio::error::operation_aborted) {
    return;
  }
  boost::system::error_code error = waitError;
  for (std::size_t reads = 0; !error && reads < drainBudget; ++reads) {
    const bool filled = phase == Phase::awaitingHTTP ? readRequest(error) : readFrames(error);
    if (!filled || phase == Phase::closed || phase == Phase::answering || clientBacklogged()) {
      break;
    }
  }
  if (error == asio::error::eof) {
    // A client that half-closes after its request still gets the response already on its
    // way; that write's completion closes the session.
    if (phase != Phase::answering) {
      close();
    }
  } else if (error && error != asio::error::would_block) {
    fail("读取本地 WebSocket 失败：" + error.message());
  } else {
    receiveClient();  // would_block: readable was a false alarm
  }
}

// The request head is read into this thread's scratch and parsed there; only the bytes of a
// head cut by the end of a read are kept, so a session waiting for its request holds no read
// buffer of its own.
bool BridgeSession::readRequest(boost::system::error_code& error) {
  thread_local std::array<std::uint8_t, readSize> scratch{};
  const std::size_t count = client.read_some(asio::buffer(scratch), error);
  if (count == 0) {
    return false;
  }
  buffer.receive(std::span(scratch.data(), count));
  consumeBuffer();
  buffer.keepRemainder();  // the scratch is reused by the next read on this thread
  if (count < readSize) {
    buffer.releaseIfEmpty();  // a short read: the client has nothing more for now
  }
  return count == readSize;
}

bool BridgeSession::readFrames(boost::system::error_code& error) {
  const std::span<std::uint8_t> room = frames.space();
  const std::size_t count = client.read_some(asio::buffer(room.data(), room.size()), error);
  frames.commit(count);
  consumeFrames();
  if (count < room.size()) {
    frames.releaseIfIdle();
  }
  return count == room.size();
}

// While its reads are held back, a client that resets would go unnoticed until the server
// drained the queue, and the session would keep both connections and the queued data until
// then. An error wait sees the reset at once. An orderly end does not wake it: that is read in
// turn once reading resumes.
void BridgeSession::watchClient() {
  if (clientWatched) {
    return;
  }
  clientWatched = true;
  client.async_wait(SessionSocket::wait_error,
                    guarded([](BridgeSession& self, const boost::system::error_code& error) {
                      self.onClientError(error);
                    }));
}

void BridgeSession::onClientError(const boost::system::error_code& waitError) {
  clientWatched = false;
  if (waitError == asio::error::operation_aborted) {
    return;
  }
  const auto error = waitError ? waitError : pendingError(client);
  if (error) {
    fail("读取本地 WebSocket 失败：" + error.message());
    return;
  }
  // Urgent (out-of-band) data woke the wait. It is never part of the stream; dropping it keeps
  // the wait from waking again at once.
  char urgent = 0;
  if (::recv(client.native_handle(), &urgent, 1, MSG_OOB | MSG_DONTWAIT) == 1 && up.held) {
    watchClient();
  }
}

boost::system::error_code BridgeSession::pendingError(SessionSocket& socket) {
  int value = 0;
  socklen_t size = sizeof(value);
  if (::getsockopt(socket.native_handle(), SOL_SOCKET, SO_ERROR, &value, &size) == 0
      && value != 0) {
    return {value, boost::system::system_category()};
  }
  // The kernel reports a reset once, to whichever call on the socket comes first. A reset
  // connection is CLOSED, while one that the peer ended in order waits in CLOSE_WAIT.
  tcp_info info{};
  size = sizeof(info);
  if (::getsockopt(socket.native_handle(), IPPROTO_TCP, TCP_INFO, &info, &size) == 0
      && info.tcpi_state == TCP_CLOSE) {
    return asio::error::connection_reset;
  }
  return {};
}

// Takes every whole request off the buffer until it runs dry or the request is handled. A
// session answers one request: once a response is on its way, nothing the client sent is
// interpreted any more, so bytes behind the request are dropped unread. Bytes behind an upgrade
// are the client's first frames.
void BridgeSession::consumeBuffer() {
  while (phase == Phase::awaitingHTTP && consumeRequest()) {
  }
  if (phase != Phase::awaitingHTTP) {
    if (phase != Phase::answering && phase != Phase::closed) {
      takeOver(buffer.view());
    }
    buffer.consume(buffer.size());
  }
}

void BridgeSession::takeOver(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty() && phase != Phase::closed) {
    const std::span<std::uint8_t> room = frames.space();
    const std::size_t count = std::min(room.size(), bytes.size());
    std::copy_n(bytes.begin(), count, room.begin());
    frames.commit(count);
    bytes = bytes.subspan(count);
    consumeFrames();
  }
  frames.releaseIfIdle();
}

void BridgeSession::consumeFrames() {
  while (phase != Phase::closed && consumeFrame()) {
  }
  flushRemote();
}

bool BridgeSession::consumeRequest() {
  auto request = nextHTTPRequest();
  if (!request) {
    if (request.error() == SessionError::foldedHeaderLine) {
      refuseFoldedHeader();
    } else {
      fail(request.error().message());
    }
    return false;
  }
  if (!*request) {
    return false;
  }
  handle(**request);
  return true;
}

bool BridgeSession::consumeFrame() {
  auto frame = frames.next();
  if (!frame) {
    fail(frame.error().message());
    return false;
  }
  if (!*frame) {
    return false;
  }
  if (const auto error = handle(std::move(**frame))) {
    fail(error.message());
    return false;
  }
  return true;
}

}  // namespace quillfern
