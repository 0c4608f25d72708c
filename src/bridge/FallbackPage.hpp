// The local fallback page: starts Ruffle and the game from the game site, with a socket proxy
// through the bridge for every allowlisted server. Pure; safe from any thread.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace quillfern {

// text as one JSON string literal: quotes, backslashes and control characters escaped and "/"
// written as "\/", so that no text can close the page's script element. Text that is not valid
// UTF-8 gives the empty literal "".
[[nodiscard]] std::string jsonString(std::string_view text);

// The page for the given allowlist keys (host ":" port, in the order given). Keys without a
// colon or without a port from 0 to 65535 after the last colon are left out.
[[nodiscard]] std::string fallbackHTML(std::span<const std::string> sortedHosts);

}  // namespace quillfern
