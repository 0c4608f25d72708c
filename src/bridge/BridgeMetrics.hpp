// The bridge's counters, shared by the bridge, every session and the health route
// (std::shared_ptr). One lock guards every field; each access takes it alone, so the counters
// are safe from any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace quillfern {

class BridgeMetrics {
public:
  // One consistent reading of every field.
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
  Snapshot fields;
};

}  // namespace quillfern
