#include "bridge/BridgeMetrics.hpp"

namespace quillfern {

BridgeMetrics::Snapshot BridgeMetrics::snapshot() const {
  Snapshot copy;
  {
    const std::scoped_lock guard(lock);
    copy = fields;
  }
  copy.bytesUp = bytesUp.load(std::memory_order_relaxed);
  copy.bytesDown = bytesDown.load(std::memory_order_relaxed);
  return copy;
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
  bytesUp.fetch_add(count, std::memory_order_relaxed);
}

void BridgeMetrics::addBytesDown(std::uint64_t count) {
  bytesDown.fetch_add(count, std::memory_order_relaxed);
}

}  // namespace quillfern
