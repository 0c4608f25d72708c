// A client's byte stream as a session takes it: the input arrives in chunks of arbitrary sizes
// (read from its first bytes) through a receive buffer, frames are taken off it as soon as
// they are whole, and data frames go through fragment reassembly. However the stream is cut,
// the session must see the same frames, messages and error, in the same order, as when it
// arrives in one piece; no message may pass the size limit.
#include "bridge/FragmentAssembler.hpp"
#include "bridge/ReceiveBuffer.hpp"
#include "bridge/WebSocketFrameCodec.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

namespace {

using quillfern::FragmentAssembler;
using quillfern::ReceiveBuffer;
using quillfern::WebSocketFrame;

struct Event {
  std::uint8_t opcode = 0;  // a control frame's or a message's
  std::vector<std::uint8_t> payload;
  bool operator==(const Event&) const = default;
};

struct Outcome {
  std::vector<Event> events;
  boost::system::error_code error;
  std::size_t left = 0;  // bytes still in the buffer at the end
};

// chunkSizes is cycled; an empty list sends the stream in one piece.
Outcome run(std::span<const std::uint8_t> stream, std::span<const std::uint8_t> chunkSizes) {
  Outcome outcome;
  ReceiveBuffer buffer;
  FragmentAssembler assembler;
  // Stands in for the session's read scratch, reused by every read.
  std::vector<std::uint8_t> scratch;
  std::size_t next = 0;
  while (!stream.empty() && !outcome.error) {
    const std::size_t size =
        chunkSizes.empty()
            ? stream.size()
            : std::min<std::size_t>(stream.size(), 1 + chunkSizes[next++ % chunkSizes.size()] * 3);
    scratch.assign(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(size));
    stream = stream.subspan(size);
    buffer.receive(scratch);
    while (true) {
      auto parsed = quillfern::nextWebSocketFrame(buffer.view());
      if (!parsed) {
        outcome.error = parsed.error();
        break;
      }
      if (!*parsed) {
        break;
      }
      buffer.consume((*parsed)->second);
      WebSocketFrame frame = std::move((*parsed)->first);
      if (frame.opcode >= quillfern::opcode::close) {
        outcome.events.push_back({frame.opcode, std::move(frame.payload)});
        continue;
      }
      if (frame.opcode > quillfern::opcode::binary) {
        outcome.error = quillfern::unsupportedOpcodeError(frame.opcode);
        break;
      }
      auto message = assembler.add(std::move(frame));
      if (!message) {
        outcome.error = message.error();
        break;
      }
      if (*message) {
        if ((*message)->payload.size() > quillfern::maximumMessageSize
            || ((*message)->opcode != quillfern::opcode::text
                && (*message)->opcode != quillfern::opcode::binary)) {
          std::abort();
        }
        outcome.events.push_back({(*message)->opcode, std::move((*message)->payload)});
      }
    }
    buffer.keepRemainder();
    std::fill(scratch.begin(), scratch.end(), 0xA5);  // what a borrowed view would now read
    if (assembler.assembledSize() > quillfern::maximumMessageSize) {
      std::abort();
    }
  }
  outcome.left = buffer.size();
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  // The first byte says how many of the next bytes are chunk sizes (at most 7).
  const std::size_t sizeCount = std::min<std::size_t>(data[0] % 8, size - 1);
  const std::span<const std::uint8_t> chunkSizes(data + 1, sizeCount);
  const std::span<const std::uint8_t> stream(data + 1 + sizeCount, size - 1 - sizeCount);
  const Outcome whole = run(stream, {});
  const Outcome chunked = run(stream, chunkSizes);
  // After an error the chunked run stops reading, so only a clean end compares what is left.
  if (whole.events != chunked.events || whole.error != chunked.error
      || (!whole.error && whole.left != chunked.left)) {
    std::abort();
  }
  return 0;
}
