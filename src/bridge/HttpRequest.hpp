// Reading one HTTP request head off the front of the bytes a client sent, and the route path
// taken from its target. Pure: no sockets, no logging; safe from any thread.
#pragma once

#include "bridge/SessionError.hpp"

#include <boost/system/result.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

namespace quillfern {

// One request head. The bytes are read as ISO 8859-1, so every text here is the UTF-8 form of
// those characters.
struct HTTPRequest {
  std::string path;  // the request target exactly as written, query included
  // Names trimmed and lower-cased, values trimmed; a later repeat of a name replaces the value.
  std::unordered_map<std::string, std::string> headers;

  [[nodiscard]] std::optional<std::string_view> header(std::string_view lowerCaseName) const;
};

// A head taken off the front of a buffer: the request and the number of bytes it occupied,
// terminator included.
struct HTTPRequestHead {
  HTTPRequest request;
  std::size_t size = 0;
};

// A buffer of more bytes than this without a complete head is an error; exactly this many is not.
inline constexpr std::size_t maximumHeadSize = 65536;

// The first head in bytes, or nothing while its CR LF CR LF has not arrived. Fails with
// headerTooLarge when more than maximumHeadSize bytes hold no terminator, with
// invalidHTTPRequest when the request line has fewer than two pieces or its method is not GET,
// and with foldedHeaderLine when a header line begins with a space or tab.
// searchFrom: how many leading bytes an earlier call already searched in vain, so that a head
// arriving byte by byte is not searched from the start each time.
[[nodiscard]] boost::system::result<std::optional<HTTPRequestHead>> nextHTTPRequest(
    std::span<const std::uint8_t> bytes, std::size_t searchFrom = 0);

// The path a request is routed by: the target cut at its first "?" once leading "?" are
// skipped; empty when nothing remains.
[[nodiscard]] std::string_view routePath(std::string_view path);

}  // namespace quillfern
