#include "bridge/ChunkPool.hpp"

namespace quillfern {

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool reuseChunks = false;
#else
constexpr bool reuseChunks = true;
#endif

}  // namespace

ChunkPool::Chunk::Chunk(Block* taken) : block(taken) {
  ++block->users;
}

ChunkPool::Chunk::Chunk(const Chunk& other) noexcept : block(other.block) {
  if (block != nullptr) {
    ++block->users;
  }
}

ChunkPool::Chunk::~Chunk() {
  if (block != nullptr && --block->users == 0) {
    block->pool->give(block);
  }
}

std::uint8_t* ChunkPool::Chunk::get() const {
  return block != nullptr ? block->bytes.get() : nullptr;
}

ChunkPool::~ChunkPool() = default;

ChunkPool::Chunk ChunkPool::take() {
  if (spares.empty()) {
    auto block = std::make_unique<Block>();
    block->pool = this;
    block->bytes = std::make_unique_for_overwrite<std::uint8_t[]>(chunkSize);
    return Chunk(block.release());
  }
  Block* block = spares.back().release();
  spares.pop_back();
  return Chunk(block);
}

void ChunkPool::give(Block* block) {
  std::unique_ptr<Block> owned(block);
  if (reuseChunks && spares.size() < spareLimit) {
    spares.push_back(std::move(owned));
  }
}

}  // namespace quillfern
