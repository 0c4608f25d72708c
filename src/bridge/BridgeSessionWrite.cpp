// The one write path to the client, shared by HTTP responses, the 101 response and every
// WebSocket frame.

#include "bridge/BridgeSession.hpp"

#include <boost/asio/write.hpp>

#include <cassert>

namespace quillfern {

void BridgeSession::sendRaw(std::vector<std::uint8_t> bytes, Completion completion) {
  queueForClient(OutgoingFrame{.header = {},
                               .payload = {.owned = std::move(bytes), .slice = {}},
                               .completion = std::move(completion)});
}

void BridgeSession::queueForClient(OutgoingFrame frame) {
  assert(executor.running_in_this_thread());
  if (phase == Phase::closed) {
    return;  // dropped, and its completion never runs
  }
  down.pinned += frame.pinned();
  down.queue.push_back(std::move(frame));
  if (down.inFlight == 0) {
    writeClient();
  }
}

void BridgeSession::writeClient() {
  GatherList gather;
  down.inFlight = 0;
  for (const OutgoingFrame& frame : down.queue) {
    if (down.inFlight == maximumBatch) {
      break;
    }
    if (frame.header.size > 0) {
      gather.emplace_back(frame.header.bytes.data(), frame.header.size);
    }
    gather.push_back(frame.payload.buffer());
    ++down.inFlight;
    // A completion (closing the session, mostly) must run before anything behind it is sent.
    if (frame.completion) {
      break;
    }
  }
  asio::async_write(client, gather,
                    held([](BridgeSession& self, const boost::system::error_code& error,
                            std::size_t /*written*/) { self.onClientWritten(error); }));
}

void BridgeSession::onClientWritten(const boost::system::error_code& error) {
  if (error) {
    if (error != asio::error::operation_aborted) {
      fail("写入本地 WebSocket 失败：" + error.message());
    }
    return;
  }
  Completion completion;
  for (; down.inFlight > 0; --down.inFlight) {
    OutgoingFrame& frame = down.queue.front();
    down.pinned -= frame.pinned();
    completion = std::move(frame.completion);
    down.queue.pop_front();
  }
  if (completion) {
    completion(*this);
    if (phase == Phase::closed) {
      return;
    }
  }
  resumeReads();
  if (!down.queue.empty() && down.inFlight == 0) {
    writeClient();
  }
}

// Re-arms a read held back by a full queue once the queues it feeds have drained.
void BridgeSession::resumeReads() {
  if (down.held && down.pinned <= lowWater) {
    down.held = false;
    receiveRemote();
  }
  if (up.held && down.pinned <= lowWater && upCharged() <= lowWater) {
    up.held = false;
    receiveClient();
  }
}

}  // namespace quillfern
