// The WebSocket layer: client frames as the reader hands them over, control frames, reassembly,
// message delivery and server frames.

#include "bridge/BridgeSession.hpp"
#include "policy/UnicodeText.hpp"

#include <cassert>

namespace quillfern {

namespace {

// A text whose lower-case form is "ping" has four code points, so at most 16 bytes.
constexpr std::size_t longestPing = 16;

bool isPing(const std::vector<std::uint8_t>& payload) {
  if (payload.size() > longestPing) {
    return false;
  }
  // Invalid UTF-8 lower-cases to U+FFFD, which never reads "ping".
  const std::string_view text(reinterpret_cast<const char*>(payload.data()), payload.size());
  return lowercased(text) == "ping";
}

}  // namespace

boost::system::error_code BridgeSession::handle(ClientFrame frame) {
  assert(executor.running_in_this_thread());
  switch (frame.opcode) {
    case opcode::pong:
      return {};
    case opcode::ping:
      sendFrame(opcode::pong, frame.flatten());
      return {};
    case opcode::close:
      // Echo the client's status and reason unchanged, then close once the echo is written.
      sendFrame(opcode::close, frame.flatten(), [](BridgeSession& self) { self.close(); });
      return {};
    case opcode::text:
    case opcode::binary:
    case opcode::continuation: {
      // A message in one frame goes to the server from where it was read.
      if (isRelay() && frame.fin && frame.opcode != opcode::continuation
          && !fragments.assembling()) {
        sendToRemote(std::move(frame));
        return {};
      }
      auto message = fragments.add(
          WebSocketFrame{.fin = frame.fin, .opcode = frame.opcode, .payload = frame.flatten()});
      if (!message) {
        return message.error();
      }
      if (*message) {
        deliverMessage((*message)->opcode, std::move((*message)->payload));
      }
      return {};
    }
    default:
      return unsupportedOpcodeError(frame.opcode);
  }
}

void BridgeSession::deliverMessage(std::uint8_t messageOpcode, std::vector<std::uint8_t> payload) {
  if (isRelay()) {
    sendToRemote(std::move(payload));  // text and binary alike, as raw bytes
    return;
  }
  const std::uint8_t replyOpcode = messageOpcode == opcode::text ? opcode::text : opcode::binary;
  if (isPing(payload)) {
    sendFrame(replyOpcode, {'p', 'o', 'n', 'g'});
  } else {
    sendFrame(replyOpcode, std::move(payload));
  }
}

void BridgeSession::sendFrame(std::uint8_t frameOpcode, std::vector<std::uint8_t> payload,
                              Completion completion) {
  if (phase == Phase::closed) {
    return;
  }
  const ServerFrameHeader header = encodeFrameHeader(frameOpcode, payload.size());
  queueForClient(OutgoingFrame{.header = header,
                               .payload = {.owned = std::move(payload), .slice = {}},
                               .completion = std::move(completion)});
}

void BridgeSession::sendServerBytes(ChunkPool::Chunk chunk, std::size_t count) {
  if (phase == Phase::closed) {
    return;
  }
  // Each read becomes exactly one binary frame.
  if (count < smallRead) {
    sendFrame(opcode::binary, std::vector<std::uint8_t>(chunk.get(), chunk.get() + count));
    return;  // the chunk goes back to the pool here
  }
  queueForClient(OutgoingFrame{
      .header = encodeFrameHeader(opcode::binary, count),
      .payload = {.owned = {}, .slice = {.chunk = std::move(chunk), .offset = 0, .size = count}},
      .completion = {}});
}

void BridgeSession::sendCloseAndClose(std::uint16_t code, std::string_view reason) {
  if (phase == Phase::closed) {
    return;
  }
  sendFrame(opcode::close, closePayload(code, reason), [](BridgeSession& self) { self.close(); });
}

}  // namespace quillfern
