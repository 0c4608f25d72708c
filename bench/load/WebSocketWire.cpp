#include "load/WebSocketWire.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <random>

namespace quillfern::bench {

namespace {

constexpr std::string_view acceptGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

std::string base64(std::span<const std::uint8_t> bytes) {
  constexpr std::string_view alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t count = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t group = static_cast<std::uint32_t>(bytes[i]) << 16U;
    if (count > 1) {
      group |= static_cast<std::uint32_t>(bytes[i + 1]) << 8U;
    }
    if (count > 2) {
      group |= bytes[i + 2];
    }
    for (std::size_t k = 0; k < 4; ++k) {
      text += k <= count ? alphabet[(group >> (18 - 6 * k)) & 0x3FU] : '=';
    }
  }
  return text;
}

std::string lowercased(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

}  // namespace

std::string randomWebSocketKey() {
  thread_local std::mt19937 generator{std::random_device{}()};
  std::array<std::uint8_t, 16> nonce{};
  for (auto& byte : nonce) {
    byte = static_cast<std::uint8_t>(generator());
  }
  return base64(nonce);
}

std::string upgradeRequest(std::string_view path, std::string_view hostPort, std::string_view key) {
  std::string request = "GET ";
  request += path;
  request += " HTTP/1.1\r\nHost: ";
  request += hostPort;
  request += "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: ";
  request += key;
  request += "\r\nSec-WebSocket-Version: 13\r\nOrigin: ";
  request += pageOrigin;
  request += "\r\n\r\n";
  return request;
}

std::string acceptValueFor(std::string_view key) {
  const std::string input = std::string(key) + std::string(acceptGuid);
  std::array<std::uint8_t, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (EVP_Digest(input.data(), input.size(), digest.data(), &length, EVP_sha1(), nullptr) != 1) {
    return {};
  }
  return base64(std::span<const std::uint8_t>(digest.data(), length));
}

bool isUpgradeAccepted(std::string_view head, std::string_view key) {
  const std::size_t firstLineEnd = head.find("\r\n");
  if (firstLineEnd == std::string_view::npos) {
    return false;
  }
  const std::string_view statusLine = head.substr(0, firstLineEnd);
  if (statusLine.substr(0, 9) != "HTTP/1.1 " || statusLine.substr(9, 3) != "101") {
    return false;
  }
  const std::string expected = acceptValueFor(key);
  std::size_t lineStart = firstLineEnd + 2;
  while (lineStart < head.size()) {
    const std::size_t lineEnd = head.find("\r\n", lineStart);
    const std::string_view line = head.substr(lineStart, lineEnd - lineStart);
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos
        && lowercased(line.substr(0, colon)) == "sec-websocket-accept") {
      return trimmed(line.substr(colon + 1)) == expected;
    }
    if (lineEnd == std::string_view::npos) {
      break;
    }
    lineStart = lineEnd + 2;
  }
  return false;
}

ServerFrameReader::Progress ServerFrameReader::consume(std::span<const std::uint8_t> bytes) {
  Progress progress;
  while (!bytes.empty() && !broken) {
    if (!inPayload) {
      bytes = bytes.subspan(takeHeaderBytes(bytes, progress));
      continue;
    }
    const std::size_t take =
        static_cast<std::size_t>(std::min<std::uint64_t>(payloadLeft, bytes.size()));
    if (dataFrame) {
      progress.payloadBytes += take;
    }
    payloadLeft -= take;
    bytes = bytes.subspan(take);
    inPayload = payloadLeft > 0;
  }
  progress.invalid = broken;
  return progress;
}

std::size_t ServerFrameReader::takeHeaderBytes(std::span<const std::uint8_t> bytes,
                                               Progress& progress) {
  std::size_t taken = 0;
  while (taken < bytes.size()) {
    header[headerLength++] = bytes[taken++];
    if (headerLength < 2) {
      continue;
    }
    if ((header[1] & 0x80U) != 0) {  // a server must not mask (RFC 6455, section 5.1)
      broken = true;
      return taken;
    }
    const unsigned shortLength = header[1] & 0x7FU;
    const std::size_t needed = shortLength == 126 ? 4 : shortLength == 127 ? 10 : 2;
    if (headerLength < needed) {
      continue;
    }
    std::uint64_t length = shortLength;
    if (needed > 2) {
      length = 0;
      for (std::size_t i = 2; i < needed; ++i) {
        length = (length << 8U) | header[i];
      }
    }
    const unsigned opcode = header[0] & 0x0FU;
    dataFrame = opcode <= 2;
    if (opcode == 8) {
      progress.closeReceived = true;
    }
    payloadLeft = length;
    inPayload = length > 0;
    headerLength = 0;
    return taken;
  }
  return taken;
}

}  // namespace quillfern::bench
