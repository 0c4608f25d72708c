#include "bridge/FragmentAssembler.hpp"

#include <cassert>

namespace quillfern {

boost::system::result<std::optional<FragmentAssembler::Message>> FragmentAssembler::add(
    WebSocketFrame frame) {
  assert(frame.opcode == opcode::text || frame.opcode == opcode::binary
         || frame.opcode == opcode::continuation);
  if (frame.opcode != opcode::continuation) {
    if (fragmentOpcode) {
      return SessionError::nestedFragment;
    }
    if (frame.fin) {
      return std::optional<Message>(Message{frame.opcode, std::move(frame.payload)});
    }
    fragmentOpcode = frame.opcode;
    fragmentData = std::move(frame.payload);
    return std::optional<Message>();
  }
  if (!fragmentOpcode) {
    return SessionError::unexpectedContinuation;
  }
  // Checked before appending, so a message that would pass the limit never grows past it.
  if (frame.payload.size() > maximumMessageSize - fragmentData.size()) {
    return SessionError::messageTooLarge;
  }
  fragmentData.insert(fragmentData.end(), frame.payload.begin(), frame.payload.end());
  if (!frame.fin) {
    return std::optional<Message>();
  }
  Message message{*fragmentOpcode, std::move(fragmentData)};
  fragmentOpcode.reset();
  fragmentData = {};
  return std::optional<Message>(std::move(message));
}

}  // namespace quillfern
