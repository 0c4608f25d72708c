#include "bridge/Utf8.hpp"

#include <unicode/utf8.h>

#include <cstdint>

namespace quillfern {

bool isValidUTF8(std::span<const std::uint8_t> bytes) {
  if (bytes.size() > static_cast<std::size_t>(INT32_MAX)) {
    return false;  // beyond what ICU's macros index; no frame or message comes near it
  }
  const auto size = static_cast<std::int32_t>(bytes.size());
  std::int32_t i = 0;
  while (i < size) {
    UChar32 c = 0;
    U8_NEXT(bytes.data(), i, size, c);
    if (c < 0) {
      return false;
    }
  }
  return true;
}

bool isValidUTF8(std::string_view bytes) {
  return isValidUTF8(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

}  // namespace quillfern
