// The client frame parser over a stream: frames are taken off the front of the input one by one
// until it needs more bytes or fails. A frame must never claim more bytes than are there, a
// control frame must obey its limits, and parsing a prefix must never succeed with a different
// frame than the whole input gives.
#include "bridge/WebSocketFrameCodec.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> rest(data, size);
  for (int frames = 0; frames < 10000; ++frames) {
    const auto next = quillfern::nextWebSocketFrame(rest);
    if (!next || !*next) {
      break;
    }
    const auto& [frame, used] = **next;
    if (used > rest.size() || used < 6 || frame.payload.size() > quillfern::maximumFramePayload) {
      std::abort();
    }
    if (frame.opcode >= 8 && (!frame.fin || frame.payload.size() > 125)) {
      std::abort();
    }
    // The same frame must come out of exactly its own bytes, and nothing out of one byte less.
    const auto exact = quillfern::nextWebSocketFrame(rest.first(used));
    const auto shorter = quillfern::nextWebSocketFrame(rest.first(used - 1));
    if (!exact || !*exact || (*exact)->second != used || (*exact)->first.payload != frame.payload
        || !shorter || *shorter) {
      std::abort();
    }
    rest = rest.subspan(used);
  }
  return 0;
}
