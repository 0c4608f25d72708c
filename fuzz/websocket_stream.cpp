// A client's byte stream as a session takes it: the input arrives in reads of arbitrary sizes
// (read from its first bytes) through the frame reader, frames are taken as soon as they are
// whole, and data frames go through fragment reassembly. However the stream is cut,
// the session must see the same frames, messages and error, in the same order, as when it
// arrives in one piece; no message may pass the size limit.
#include "bridge/ClientFrameReader.hpp"
#include "bridge/FragmentAssembler.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

namespace {

using quillfern::FragmentAssembler;
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
  quillfern::ChunkPool pool;
  quillfern::ClientFrameReader reader(pool);
  FragmentAssembler assembler;
  std::size_t next = 0;
  while (!stream.empty() && !outcome.error) {
    const auto room = reader.space();
    const std::size_t size = std::min(
        {room.size(), stream.size(),
         chunkSizes.empty() ? stream.size() : 1 + chunkSizes[next++ % chunkSizes.size()] * 3U});
    std::copy_n(stream.begin(), size, room.begin());
    reader.commit(size);
    stream = stream.subspan(size);
    while (true) {
      auto parsed = reader.next();
      if (!parsed) {
        outcome.error = parsed.error();
        break;
      }
      if (!*parsed) {
        break;
      }
      WebSocketFrame frame{(*parsed)->fin, (*parsed)->opcode, (*parsed)->flatten()};
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
    if (size < room.size() && !outcome.error) {
      reader.releaseIfIdle();  // as the session does after a short read
    }
    if (assembler.assembledSize() > quillfern::maximumMessageSize) {
      std::abort();
    }
  }
  outcome.left = outcome.error ? 0 : reader.pending();
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
