// Joins a client's fragmented messages: a text or binary frame without FIN opens a message,
// continuation frames add to it, and the one with FIN completes it. Control frames never come
// here; they may arrive between fragments and leave the message alone. Pure; confined to one
// session's worker.
#pragma once

#include "bridge/WebSocketFrameCodec.hpp"

#include <boost/system/result.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace quillfern {

class FragmentAssembler {
public:
  struct Message {
    std::uint8_t opcode = 0;  // text or binary: the opcode of the message's first frame
    std::vector<std::uint8_t> payload;
  };

  // Takes one text, binary or continuation frame. Returns the message it completes, nothing
  // while a message is still open, or nestedFragment (a new message while one is open),
  // unexpectedContinuation (a continuation with none open) or messageTooLarge (a message
  // above maximumMessageSize). After an error the session ends; the state is left as it was.
  [[nodiscard]] boost::system::result<std::optional<Message>> add(WebSocketFrame frame);

  [[nodiscard]] bool assembling() const { return fragmentOpcode.has_value(); }
  [[nodiscard]] std::size_t assembledSize() const { return fragmentData.size(); }

private:
  std::optional<std::uint8_t> fragmentOpcode;  // set exactly while a message is open
  std::vector<std::uint8_t> fragmentData;
};

}  // namespace quillfern
