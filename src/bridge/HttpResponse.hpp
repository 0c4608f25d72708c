// The bridge's plain HTTP responses and its health document. Pure; safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillfern {

// Head and body in one buffer. Content-Length counts the body's UTF-8 bytes; the connection
// is announced as closing.
[[nodiscard]] std::vector<std::uint8_t> httpResponse(int code, std::string_view reason,
                                                     std::string_view body,
                                                     std::string_view contentType);

// {"ok":…,"port":9882,"active":…,"up":…,"down":…}, without white space.
[[nodiscard]] std::string healthDocument(bool running, std::int64_t active, std::uint64_t bytesUp,
                                         std::uint64_t bytesDown);

}  // namespace quillfern
