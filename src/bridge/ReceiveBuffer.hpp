// The bytes of a client's request that a session has received and not yet consumed. Bytes
// just read are parsed in place when nothing older is pending, and copied only when part of a
// head is left over. Consuming from the front moves a read offset; the storage is compacted only
// when the consumed part outweighs the rest. Confined to the session's worker; pure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quillfern {

class ReceiveBuffer {
public:
  // Adds bytes behind the unconsumed ones. They are borrowed while nothing older is pending:
  // call keepRemainder() before the memory they live in is reused.
  void receive(std::span<const std::uint8_t> bytes);

  // Copies whatever is still borrowed into storage of its own.
  void keepRemainder();

  [[nodiscard]] std::span<const std::uint8_t> view() const;
  [[nodiscard]] std::size_t size() const { return view().size(); }
  [[nodiscard]] bool empty() const { return size() == 0; }

  // Drops count bytes from the front; count is at most size(). Storage is kept for the next
  // bytes, so that a head straddling several reads does not allocate for each of them.
  void consume(std::size_t count);

  // Gives back a large storage once nothing is left in it, so that an idle session holds no
  // large buffer. Call it when the client has been caught up with.
  void releaseIfEmpty();

  // Bytes of storage held, for tests of idle memory.
  [[nodiscard]] std::size_t capacity() const { return storage.capacity(); }

private:
  std::vector<std::uint8_t> storage;
  std::size_t start = 0;                   // consumed bytes at the front of storage
  std::span<const std::uint8_t> borrowed;  // set only while storage holds nothing unconsumed

  void clearStorage();
};

}  // namespace quillfern
