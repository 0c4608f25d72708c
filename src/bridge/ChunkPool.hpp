// Read buffers of the relay, kept per worker. Bytes read from either socket land in a chunk and
// travel onwards where they lie: a server read as the payload of the frame that carries it, a
// client frame's payload as the bytes written to the server. A chunk goes back to the pool when
// its last user lets go. A session takes a chunk only once a socket is readable, so an idle
// session holds none. Confined to one worker, so neither the pool nor the use counts take locks
// or atomics.
//
// Under AddressSanitizer and ThreadSanitizer every chunk is a plain allocation, freed when it
// comes back, so that a use after return is still reported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

namespace quillfern {

class ChunkPool {
  struct Block;

public:
  static constexpr std::size_t chunkSize = 65536;
  // Chunks kept for reuse, at most: enough for a few busy sessions on one worker, without
  // holding memory for every session that was ever busy.
  static constexpr std::size_t spareLimit = 8;

  // A shared handle to chunkSize bytes. Copies share the bytes; the last one gives them back.
  // The pool outlives every chunk it handed out (the worker declares it before anything that
  // could hold one).
  class Chunk {
  public:
    Chunk() = default;
    Chunk(const Chunk& other) noexcept;
    Chunk(Chunk&& other) noexcept : block(std::exchange(other.block, nullptr)) {}
    Chunk& operator=(Chunk other) noexcept {
      std::swap(block, other.block);
      return *this;
    }
    ~Chunk();

    [[nodiscard]] std::uint8_t* get() const;
    explicit operator bool() const { return block != nullptr; }
    bool operator==(const Chunk& other) const { return block == other.block; }

  private:
    friend class ChunkPool;
    explicit Chunk(Block* taken);
    Block* block = nullptr;
  };

  ChunkPool() { spares.reserve(spareLimit); }  // giving back never allocates
  ChunkPool(const ChunkPool&) = delete;
  ChunkPool& operator=(const ChunkPool&) = delete;
  ChunkPool(ChunkPool&&) = delete;
  ChunkPool& operator=(ChunkPool&&) = delete;
  ~ChunkPool();

  // chunkSize bytes, left uninitialised: a read overwrites them.
  [[nodiscard]] Chunk take();

private:
  struct Block {
    std::size_t users = 0;
    ChunkPool* pool = nullptr;
    std::unique_ptr<std::uint8_t[]> bytes;
  };
  std::vector<std::unique_ptr<Block>> spares;

  void give(Block* block);
};

// Bytes of one chunk, which the slice keeps alive.
struct ChunkSlice {
  ChunkPool::Chunk chunk;
  std::size_t offset = 0;
  std::size_t size = 0;

  [[nodiscard]] std::span<const std::uint8_t> bytes() const { return {chunk.get() + offset, size}; }
};

}  // namespace quillfern
