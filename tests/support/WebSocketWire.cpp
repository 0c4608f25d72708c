#include "support/WebSocketWire.hpp"

#include <random>

namespace quillfern::testing {

std::string bytes(std::initializer_list<int> values) {
  return {values.begin(), values.end()};
}

std::string patternedBytes(std::size_t size, std::uint32_t seed) {
  std::minstd_rand generator(seed + 1);  // a seed of 0 is not allowed
  std::string out(size, '\0');
  for (char& c : out) {
    c = static_cast<char>(generator() >> 8U);
  }
  return out;
}

std::string getRequest(std::string_view path) {
  return "GET " + std::string(path) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
}

std::string upgradeRequest(std::string_view path, std::string_view extraHeaders) {
  return "GET " + std::string(path)
         + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Origin: http://127.0.0.1:9882\r\nSec-WebSocket-Version: 13\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
         + std::string(extraHeaders) + "\r\n";
}

std::string switchingProtocols() {
  return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";
}

namespace ws {

std::string clientFrame(std::uint8_t first, std::string_view payload,
                        std::array<std::uint8_t, 4> mask) {
  std::string frame(1, static_cast<char>(first));
  const std::size_t size = payload.size();
  const int lengthBytes = size < 126 ? 0 : size <= 0xFFFF ? 2 : 8;
  frame += static_cast<char>(0x80 | (lengthBytes == 0 ? size : lengthBytes == 2 ? 126 : 127));
  for (int shift = 8 * (lengthBytes - 1); shift >= 0; shift -= 8) {
    frame += static_cast<char>((size >> static_cast<unsigned>(shift)) & 0xFFU);
  }
  frame.append(mask.begin(), mask.end());
  for (std::size_t i = 0; i < size; ++i) {
    frame += static_cast<char>(payload[i] ^ static_cast<char>(mask[i % 4]));
  }
  return frame;
}

std::optional<Frame> takeServerFrame(std::string& received) {
  const auto at = [&](std::size_t i) {
    return static_cast<std::uint8_t>(received[i]);
  };
  const std::size_t headerSize = received.size() < 2 || (at(1) & 0x7FU) < 126 ? 2
                                 : (at(1) & 0x7FU) == 126                     ? 4
                                                                              : 10;
  if (received.size() < headerSize) {
    return std::nullopt;
  }
  std::uint64_t length = headerSize == 2 ? at(1) & 0x7FU : 0;
  for (std::size_t i = 2; i < headerSize; ++i) {
    length = (length << 8U) | at(i);
  }
  if (received.size() - headerSize < length) {
    return std::nullopt;
  }
  const auto size = static_cast<std::size_t>(length);
  Frame frame{.first = at(0), .payload = received.substr(headerSize, size)};
  received.erase(0, headerSize + size);
  return frame;
}

std::string closeFrame(int code, std::string_view reason) {
  return bytes({0x88, static_cast<int>(reason.size() + 2), code >> 8, code & 0xFF})
         + std::string(reason);
}

}  // namespace ws
}  // namespace quillfern::testing
