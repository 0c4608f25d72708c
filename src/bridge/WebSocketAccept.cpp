#include "bridge/WebSocketAccept.hpp"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <array>
#include <cstdint>
#include <vector>

namespace quillfern {

namespace {

constexpr std::string_view acceptGUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

std::string_view trimSpacesAndTabs(std::string_view text) {
  const auto begin = text.find_first_not_of(" \t");
  if (begin == std::string_view::npos) {
    return {};
  }
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

bool isBinary(std::string_view offer) {
  constexpr std::string_view binary = "binary";
  if (offer.size() != binary.size()) {
    return false;
  }
  for (std::size_t i = 0; i < offer.size(); ++i) {
    const char c =
        offer[i] >= 'A' && offer[i] <= 'Z' ? static_cast<char>(offer[i] - 'A' + 'a') : offer[i];
    if (c != binary[i]) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::string webSocketAcceptValue(std::string_view key) {
  std::string input(key);
  input += acceptGUID;
  std::array<unsigned char, SHA_DIGEST_LENGTH> digest{};
  SHA1(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest.data());
  // EVP_EncodeBlock writes padded standard Base64 without line breaks, plus a NUL.
  std::array<unsigned char, 4 * ((SHA_DIGEST_LENGTH + 2) / 3) + 1> encoded{};
  const int length = EVP_EncodeBlock(encoded.data(), digest.data(), SHA_DIGEST_LENGTH);
  return {reinterpret_cast<const char*>(encoded.data()), static_cast<std::size_t>(length)};
}

std::optional<std::string> chooseSubprotocol(std::optional<std::string_view> protocols) {
  if (!protocols || trimSpacesAndTabs(*protocols).empty()) {
    return std::nullopt;
  }
  // Empty pieces are dropped before the pieces are trimmed.
  std::vector<std::string_view> offers;
  std::string_view rest = *protocols;
  while (!rest.empty()) {
    const auto comma = std::min(rest.find(','), rest.size());
    if (comma > 0) {
      offers.push_back(trimSpacesAndTabs(rest.substr(0, comma)));
    }
    rest.remove_prefix(std::min(comma + 1, rest.size()));
  }
  if (offers.empty()) {
    return std::nullopt;
  }
  for (const std::string_view offer : offers) {
    if (isBinary(offer)) {
      return std::string(offer);
    }
  }
  return std::string(offers.front());
}

std::string webSocketAcceptResponse(std::string_view key,
                                    std::optional<std::string_view> protocols) {
  std::string response =
      "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Accept: ";
  response += webSocketAcceptValue(key);
  response += "\r\n";
  if (const auto chosen = chooseSubprotocol(protocols)) {
    response += "Sec-WebSocket-Protocol: " + *chosen + "\r\n";
  }
  response += "\r\n";
  return response;
}

}  // namespace quillfern
