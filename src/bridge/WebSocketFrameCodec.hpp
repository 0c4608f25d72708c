// RFC 6455 frames as the bridge sees them: client frame headers parsed off a byte buffer,
// payloads unmasked, server frame headers and close payloads encoded. Pure: no sockets, no
// logging; safe from any thread.
#pragma once

#include "bridge/SessionError.hpp"

#include <boost/system/result.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace quillfern {

namespace opcode {
inline constexpr std::uint8_t continuation = 0;
inline constexpr std::uint8_t text = 1;
inline constexpr std::uint8_t binary = 2;
inline constexpr std::uint8_t close = 8;
inline constexpr std::uint8_t ping = 9;
inline constexpr std::uint8_t pong = 10;
}  // namespace opcode

// Inclusive limits on what a client may send.
inline constexpr std::uint64_t maximumFramePayload = 16'777'216;
inline constexpr std::uint64_t maximumControlPayload = 125;
inline constexpr std::size_t maximumMessageSize = 33'554'432;

// One client frame with its payload unmasked, as fragment reassembly takes it.
struct WebSocketFrame {
  bool fin = false;
  std::uint8_t opcode = 0;  // the low four bits of the first byte
  std::vector<std::uint8_t> payload;
};

// The fixed part of a client frame, known once its length bytes are in.
struct ClientFrameHeader {
  bool fin = false;
  std::uint8_t opcode = 0;
  std::uint64_t payloadLength = 0;
  std::size_t lengthFieldsSize = 0;  // 2, 4 or 10: the bytes before the masking key

  // Header, masking key and payload together.
  [[nodiscard]] std::uint64_t frameSize() const { return lengthFieldsSize + 4 + payloadLength; }
};

// The header at the front of bytes, or nothing while its length bytes are incomplete. Fails as
// soon as those bytes are in: unmaskedFrame, frameTooLarge (64-bit lengths above 16 MiB), or
// invalidControlFrame (opcode 8 or more without FIN or with more than 125 bytes). RSV bits are
// ignored and non-minimal lengths accepted.
[[nodiscard]] boost::system::result<std::optional<ClientFrameHeader>> parseClientFrameHeader(
    std::span<const std::uint8_t> bytes);

// out[i] = masked[i] XOR key[i mod 4], eight bytes at a time. out must be as long as masked;
// it may be the same memory.
void unmask(std::span<const std::uint8_t> masked, std::array<std::uint8_t, 4> key,
            std::span<std::uint8_t> out);

// A server frame header: FIN set, never masked, the shortest length form.
struct ServerFrameHeader {
  std::array<std::uint8_t, 10> bytes{};
  std::size_t size = 0;

  [[nodiscard]] std::span<const std::uint8_t> view() const { return {bytes.data(), size}; }
};

[[nodiscard]] ServerFrameHeader encodeFrameHeader(std::uint8_t frameOpcode,
                                                  std::uint64_t payloadLength);

// A close frame's payload: the code big-endian, then at most 123 bytes of the reason.
[[nodiscard]] std::vector<std::uint8_t> closePayload(std::uint16_t code, std::string_view reason);

}  // namespace quillfern
