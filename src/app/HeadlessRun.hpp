// `quillfern --headless`: the bridge alone, for a local browser on a machine without a display.
// Runs on the main thread and returns when SIGINT, SIGTERM or SIGHUP arrives.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>

namespace quillfern {

class DefaultsStore;
class HttpClient;
class LoopbackBridge;

struct HeadlessOptions {
  std::shared_ptr<DefaultsStore> store;     // null: the user's settings file
  std::shared_ptr<HttpClient> http;         // null: libcurl, for the start-up refresh
  std::optional<std::uint16_t> listenPort;  // absent: LoopbackBridge::port; tests use 0 (any)
  // Called on the main thread once the bridge serves, before the wait for a signal (tests).
  std::function<void(LoopbackBridge&)> onServing;
};

// Prepares the process (prepareServerProcess()), builds the allowlist, starts the bridge,
// refreshes the allowlist once and serves until SIGINT, SIGTERM or SIGHUP; then stops the
// bridge and returns 0. When the bridge cannot start, logs why, writes a one-line explanation
// to errors and returns 1.
[[nodiscard]] int runHeadless(const HeadlessOptions& options, std::ostream& errors);

}  // namespace quillfern
