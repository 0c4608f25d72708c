#include "policy/AllowlistEntry.hpp"

#include "policy/UnicodeText.hpp"

namespace quillfern {

std::optional<std::uint16_t> parseDecimalPort(std::string_view text, bool allowMinus) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || (allowMinus && text.front() == '-'))) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) {
    return std::nullopt;
  }
  std::uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (value > 65535) {
      return std::nullopt;  // stops early, so any number of digits is safe
    }
  }
  if (negative && value != 0) {
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(value);
}

std::optional<std::string> allowlistKey(std::string_view entry) {
  const std::string lower = lowercased(trimSpaceAndNewlines(entry));
  const auto colon = lower.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    return std::nullopt;
  }
  const auto port = parseDecimalPort(std::string_view(lower).substr(colon + 1), true);
  if (!port || *port == 0) {
    return std::nullopt;
  }
  return lower.substr(0, colon) + ":" + std::to_string(*port);
}

}  // namespace quillfern
