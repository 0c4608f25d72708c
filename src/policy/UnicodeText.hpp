// Unicode text rules shared by the site policy, the allowlist and the bridge's target parser.
// Pure functions on UTF-8; safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace quillfern {

// True for the white space and line breaks that entries and hosts are trimmed of: general
// category Z (Zs, Zl, Zp), U+0009 to U+000D and U+0085.
[[nodiscard]] bool isTrimmedSpace(char32_t codePoint);

// The view without leading and trailing isTrimmedSpace() code points. Bytes that are not valid
// UTF-8 count as text and stop the trimming.
[[nodiscard]] std::string_view trimSpaceAndNewlines(std::string_view text);

// The Unicode default full lower-case mapping (ICU's root locale), so one upper-case code point
// may become several. Invalid UTF-8 sequences become U+FFFD.
[[nodiscard]] std::string lowercased(std::string_view text);

}  // namespace quillfern
