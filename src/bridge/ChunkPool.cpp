#include "bridge/ChunkPool.hpp"

namespace quillfern {

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool reuseChunks = false;
#else
constexpr bool reuseChunks = true;
#endif

}  // namespace

void ChunkPool::Return::operator()(std::uint8_t* bytes) const {
  if (pool != nullptr) {
    pool->give(bytes);
  } else {
    delete[] bytes;
  }
}

ChunkPool::Chunk ChunkPool::take() {
  if (spares.empty()) {
    return Chunk(std::make_unique_for_overwrite<std::uint8_t[]>(chunkSize).release(),
                 Return(*this));
  }
  Chunk chunk(spares.back().release(), Return(*this));
  spares.pop_back();
  return chunk;
}

void ChunkPool::give(std::uint8_t* bytes) {
  std::unique_ptr<std::uint8_t[]> owned(bytes);
  if (reuseChunks && spares.size() < spareLimit) {
    spares.push_back(std::move(owned));
  }
}

}  // namespace quillfern
