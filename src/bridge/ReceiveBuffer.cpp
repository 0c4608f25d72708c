#include "bridge/ReceiveBuffer.hpp"

#include <cassert>

namespace quillfern {

namespace {

// An idle session keeps at most this much storage; a larger buffer is given back once empty.
constexpr std::size_t idleCapacity = 4096;

}  // namespace

void ReceiveBuffer::receive(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) {
    return;
  }
  if (start == storage.size() && borrowed.empty()) {
    clearStorage();
    borrowed = bytes;
    return;
  }
  keepRemainder();
  // Compacting only when the consumed front is at least half the storage keeps the copying
  // linear in the bytes received.
  if (start > 0 && start >= storage.size() - start) {
    storage.erase(storage.begin(), storage.begin() + static_cast<std::ptrdiff_t>(start));
    start = 0;
  }
  storage.insert(storage.end(), bytes.begin(), bytes.end());
}

void ReceiveBuffer::keepRemainder() {
  if (borrowed.empty()) {
    return;
  }
  assert(start == storage.size());
  clearStorage();
  storage.assign(borrowed.begin(), borrowed.end());
  borrowed = {};
}

std::span<const std::uint8_t> ReceiveBuffer::view() const {
  if (!borrowed.empty()) {
    return borrowed;
  }
  return std::span(storage).subspan(start);
}

void ReceiveBuffer::consume(std::size_t count) {
  if (!borrowed.empty()) {
    assert(count <= borrowed.size());
    borrowed = borrowed.subspan(count);
    return;
  }
  assert(count <= storage.size() - start);
  start += count;
  if (start == storage.size()) {
    clearStorage();
  }
}

void ReceiveBuffer::releaseIfEmpty() {
  if (borrowed.empty() && start == storage.size() && storage.capacity() > idleCapacity) {
    std::vector<std::uint8_t>().swap(storage);  // clear() alone would keep the capacity
    start = 0;
  }
}

void ReceiveBuffer::clearStorage() {
  storage.clear();
  start = 0;
}

}  // namespace quillfern
