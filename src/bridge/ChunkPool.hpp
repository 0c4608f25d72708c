// Read buffers for the server-to-page direction, kept per worker. A read from a server lands in
// a chunk, and the chunk travels as the payload of the frame that carries those bytes, with no
// copy, until the write of that frame completes and the chunk comes back. A session takes a
// chunk only once its server socket is readable, so an idle session holds none. Confined to
// one worker, so it takes no locks.
//
// Under AddressSanitizer and ThreadSanitizer every chunk is a plain allocation, freed when it
// comes back, so that a use after return is still reported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace quillfern {

class ChunkPool {
public:
  static constexpr std::size_t chunkSize = 65536;
  // Chunks kept for reuse, at most: enough for a few busy sessions on one worker, without
  // holding memory for every session that was ever busy.
  static constexpr std::size_t spareLimit = 8;

  // Gives a chunk back to its pool. The pool outlives every chunk it handed out (the worker
  // declares it before anything that could hold one).
  class Return {
  public:
    Return() = default;
    explicit Return(ChunkPool& owner) : pool(&owner) {}
    void operator()(std::uint8_t* bytes) const;

  private:
    ChunkPool* pool = nullptr;
  };
  using Chunk = std::unique_ptr<std::uint8_t[], Return>;

  ChunkPool() { spares.reserve(spareLimit); }  // give() never allocates
  ChunkPool(const ChunkPool&) = delete;
  ChunkPool& operator=(const ChunkPool&) = delete;
  ChunkPool(ChunkPool&&) = delete;
  ChunkPool& operator=(ChunkPool&&) = delete;
  ~ChunkPool() = default;

  // chunkSize bytes, left uninitialised: a read overwrites them.
  [[nodiscard]] Chunk take();

private:
  std::vector<std::unique_ptr<std::uint8_t[]>> spares;

  void give(std::uint8_t* bytes);
};

}  // namespace quillfern
