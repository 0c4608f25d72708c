// The client frame reader fed one byte at a time. A frame must come out exactly when its last
// byte is in, never earlier or later, its payload must be as long as its header said, and a
// control frame must obey its limits.
#include "bridge/ClientFrameReader.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quillfern::ChunkPool pool;
  quillfern::ClientFrameReader reader(pool);
  std::size_t previous = 0;  // pending() after the previous byte
  for (std::size_t i = 0; i < size; ++i) {
    *reader.space().data() = data[i];
    reader.commit(1);
    const auto next = reader.next();
    if (!next) {
      break;
    }
    if (!*next) {
      // Still incomplete: the byte is held, whole.
      if (reader.pending() != previous + 1) {
        std::abort();
      }
      previous = reader.pending();
      continue;
    }
    const quillfern::ClientFrame& frame = **next;
    std::uint64_t sliced = 0;
    for (const auto& slice : frame.payload) {
      sliced += slice.size;
    }
    if (reader.pending() != 0 || sliced != frame.size || frame.size > quillfern::maximumFramePayload
        || (frame.opcode >= 8 && (!frame.fin || frame.size > 125))) {
      std::abort();
    }
    // This byte ended the frame, so nothing else can be whole yet.
    const auto after = reader.next();
    if (!after || *after) {
      std::abort();
    }
    previous = 0;
  }
  return 0;
}
