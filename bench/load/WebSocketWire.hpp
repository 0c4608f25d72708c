// The client side of the WebSocket wire format, as the load generator needs it: the upgrade
// request and the check of its answer, and an incremental reader that counts the payload of
// server frames. Masked client frames come from the tests' wire helpers. Pure byte work, no
// sockets; any thread.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillfern::bench {

// The page origin sent with every upgrade: the one the bridge admits.
inline constexpr std::string_view pageOrigin = "http://127.0.0.1:9882";

// A fresh Sec-WebSocket-Key: 16 random bytes in Base64.
[[nodiscard]] std::string randomWebSocketKey();

// The GET request that asks for an upgrade on path. hostPort goes into the Host header.
[[nodiscard]] std::string upgradeRequest(std::string_view path, std::string_view hostPort,
                                         std::string_view key);

// The Sec-WebSocket-Accept value the server must answer for key (RFC 6455, section 4.2.2).
[[nodiscard]] std::string acceptValueFor(std::string_view key);

// True when head (a complete response head, up to and including CR LF CR LF) is a 101 answer
// whose Sec-WebSocket-Accept matches key.
[[nodiscard]] bool isUpgradeAccepted(std::string_view head, std::string_view key);

// Follows a stream of server frames across arbitrary read boundaries and counts the payload of
// data frames (opcodes 0, 1, 2) without copying it. Control frames are skipped; a close frame
// is reported once its header is in.
class ServerFrameReader {
public:
  struct Progress {
    std::size_t payloadBytes = 0;  // data-frame payload in the bytes just consumed
    bool closeReceived = false;    // a close frame started in these bytes
    bool invalid = false;          // a masked or oversized server frame: the stream is broken
  };

  [[nodiscard]] Progress consume(std::span<const std::uint8_t> bytes);

private:
  std::array<std::uint8_t, 14> header{};
  std::size_t headerLength = 0;
  std::uint64_t payloadLeft = 0;
  bool inPayload = false;
  bool dataFrame = false;
  bool broken = false;

  // Adds header bytes from the front of bytes; returns how many it took.
  std::size_t takeHeaderBytes(std::span<const std::uint8_t> bytes, Progress& progress);
};

}  // namespace quillfern::bench
