#include "bridge/BridgeMetrics.hpp"

namespace quillfern {

BridgeMetrics::Snapshot BridgeMetrics::snapshot() const {
  const std::scoped_lock guard(lock);
  return fields;
}

bool BridgeMetrics::isRunning() const {
  const std::scoped_lock guard(lock);
  return fields.running;
}

void BridgeMetrics::setRunning(bool value) {
  const std::scoped_lock guard(lock);
  fields.running = value;
}

void BridgeMetrics::setLastError(std::string text) {
  const std::scoped_lock guard(lock);
  fields.lastError = std::move(text);
}

void BridgeMetrics::addActive() {
  const std::scoped_lock guard(lock);
  ++fields.active;
}

void BridgeMetrics::removeActive() {
  const std::scoped_lock guard(lock);
  if (fields.active > 0) {
    --fields.active;
  }
}

void BridgeMetrics::addBytesUp(std::uint64_t count) {
  const std::scoped_lock guard(lock);
  fields.bytesUp += count;
}

void BridgeMetrics::addBytesDown(std::uint64_t count) {
  const std::scoped_lock guard(lock);
  fields.bytesDown += count;
}

}  // namespace quillfern
