// The bytes that loopback tests and the load generator put on the wire and take off it: request
// heads, masked client frames and server frames. Pure byte work with no sockets and no test
// framework, so bench/load builds it too; any thread.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace quillfern::testing {

[[nodiscard]] std::string bytes(std::initializer_list<int> values);
// size bytes of a pseudo-random pattern, the same for the same seed, so that a lost, doubled or
// moved byte shows.
[[nodiscard]] std::string patternedBytes(std::size_t size, std::uint32_t seed);

// A plain GET of path.
[[nodiscard]] std::string getRequest(std::string_view path);
// An upgrade of path from an allowed origin with the example key of RFC 6455 1.3; extraHeaders
// are CR LF terminated lines.
[[nodiscard]] std::string upgradeRequest(std::string_view path, std::string_view extraHeaders = "");
// The 101 that answers upgradeRequest() when no sub-protocol is offered.
[[nodiscard]] std::string switchingProtocols();

namespace ws {

// A client frame: first byte (FIN and opcode) as given, payload masked with mask.
[[nodiscard]] std::string clientFrame(std::uint8_t first, std::string_view payload,
                                      std::array<std::uint8_t, 4> mask = {1, 2, 3, 4});

struct Frame {
  std::uint8_t first = 0;  // FIN and opcode
  std::string payload;
};
// Takes one whole unmasked server frame off the front of received, or nothing while less is
// there.
[[nodiscard]] std::optional<Frame> takeServerFrame(std::string& received);

// A server close frame with a status code and a reason of at most 123 bytes.
[[nodiscard]] std::string closeFrame(int code, std::string_view reason);

}  // namespace ws
}  // namespace quillfern::testing
