// The server's answer to an accepted WebSocket upgrade: the accept value of RFC 6455 4.2.2,
// the sub-protocol choice and the whole 101 response. Pure; safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillfern {

// Base64 of the SHA-1 of key followed by the RFC 6455 GUID; the key is used as given.
[[nodiscard]] std::string webSocketAcceptValue(std::string_view key);

// The protocol to name in the response, as the client offered it, or nothing. protocols is the
// "sec-websocket-protocol" value; "binary" (in any case) wins, else the first offer.
[[nodiscard]] std::optional<std::string> chooseSubprotocol(
    std::optional<std::string_view> protocols);

// "HTTP/1.1 101 Switching Protocols" with its headers and the final empty line.
[[nodiscard]] std::string webSocketAcceptResponse(std::string_view key,
                                                  std::optional<std::string_view> protocols);

}  // namespace quillfern
