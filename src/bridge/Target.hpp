// The remote TCP server a WebSocket names in its path, and how it is taken out of that path.
// Pure; safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillfern {

struct Target {
  std::string host;        // percent-decoded, trimmed, lower-case, never empty
  std::uint16_t port = 0;  // 1 to 65535

  // host ":" port: the allowlist key and the label of the relay's log lines.
  [[nodiscard]] std::string text() const;

  friend bool operator==(const Target&, const Target&) = default;
};

// The target of a route path "/" host "/" port, or nothing when the path has another shape,
// the host is empty or badly percent-encoded, or the port is not a number from 1 to 65535.
[[nodiscard]] std::optional<Target> parseTarget(std::string_view routePath);

}  // namespace quillfern
