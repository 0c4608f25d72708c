// The bridge's counters, shared by the bridge, every session and the health route
// (std::shared_ptr). Safe from any thread. The byte counters change on every read and write of
// every session, so they are relaxed atomics; the rest is guarded by one lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace quillfern {

class BridgeMetrics {
public:
  // One reading of every field. The byte counts are read without the lock: each is exact, but
  // the two need not come from the same instant.
  struct Snapshot {
    bool running = false;
    std::int64_t active = 0;      // sessions whose remote connection is ready and not yet closed
    std::uint64_t bytesUp = 0;    // written to remote servers
    std::uint64_t bytesDown = 0;  // read from remote servers
    std::string lastError;        // the latest failure of the listener or a session
  };

  [[nodiscard]] Snapshot snapshot() const;
  [[nodiscard]] bool isRunning() const;

  void setRunning(bool value);
  void setLastError(std::string text);
  void addActive();
  void removeActive();  // never below 0
  void addBytesUp(std::uint64_t count);
  void addBytesDown(std::uint64_t count);

private:
  mutable std::mutex lock;
  Snapshot fields;  // bytesUp and bytesDown unused: the atomics below hold them
  std::atomic<std::uint64_t> bytesUp{0};
  std::atomic<std::uint64_t> bytesDown{0};
};

}  // namespace quillfern
