// UTF-8 validation for the bridge's byte parsers. Pure; safe from any thread.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace quillfern {

// True when bytes are well-formed UTF-8: no overlong forms, surrogates or values past U+10FFFF.
[[nodiscard]] bool isValidUTF8(std::string_view bytes);
[[nodiscard]] bool isValidUTF8(std::span<const std::uint8_t> bytes);

}  // namespace quillfern
