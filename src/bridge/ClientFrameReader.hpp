// A client's WebSocket frames, read into pooled chunks and unmasked where they lie. The session
// reads straight into space(); each payload byte is unmasked once, in place, and a frame comes
// out as the pieces of the chunks that hold its payload, so a large frame is never copied or
// moved, whatever reads it spanned. The only bytes ever moved are those of a header that the end
// of a chunk cut (at most 13). Pure: no sockets, no logging; confined to the session's worker.
#pragma once

#include "bridge/ChunkPool.hpp"
#include "bridge/WebSocketFrameCodec.hpp"

#include <boost/container/small_vector.hpp>
#include <boost/system/result.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quillfern {

// One client frame, payload unmasked, in order across the slices.
struct ClientFrame {
  bool fin = false;
  std::uint8_t opcode = 0;
  std::uint64_t size = 0;  // payload bytes in all
  boost::container::small_vector<ChunkSlice, 1> payload;

  // The payload copied into one buffer, for the frames that are not relayed as they lie.
  [[nodiscard]] std::vector<std::uint8_t> flatten() const;
};

class ClientFrameReader {
public:
  explicit ClientFrameReader(ChunkPool& chunkPool) : pool(chunkPool) {}

  // Where the next read goes: never empty, at most a chunk.
  [[nodiscard]] std::span<std::uint8_t> space();
  // count bytes were read into the front of space().
  void commit(std::size_t count);

  // The next whole frame, nothing while it is incomplete, or the error of
  // parseClientFrameHeader as soon as a header's length bytes are in. Call it until it returns
  // nothing before the next space(). After an error the reader must not be used again.
  [[nodiscard]] boost::system::result<std::optional<ClientFrame>> next();

  // Lets go of the current chunk when no frame is under way in it. Call it after a short read,
  // so that an idle session holds no chunk.
  void releaseIfIdle();

  // Bytes received that belong to no frame returned yet.
  [[nodiscard]] std::size_t pending() const;
  [[nodiscard]] bool holdsChunk() const { return static_cast<bool>(chunk); }

private:
  // A frame whose header is in and whose payload is still arriving.
  struct OpenFrame {
    ClientFrameHeader header;
    std::array<std::uint8_t, 4> key{};
    std::uint64_t received = 0;  // payload bytes unmasked so far
    ClientFrame frame;
  };

  ChunkPool& pool;
  ChunkPool::Chunk chunk;
  std::size_t begin = 0;  // the chunk's bytes [begin, end) are read but not yet taken
  std::size_t end = 0;
  std::optional<OpenFrame> open;
};

}  // namespace quillfern
