// Normalisation of one allowlist entry ("host:port") into its key form: the host lower-cased,
// ":" and the port in plain decimal from 1 to 65535. Pure; safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillfern {

// The key for one entry, or nothing when the entry is dropped: no colon, an empty host or
// port, or a port that is not a number from 1 to 65535. Surrounding white space, upper case
// and leading zeros are tolerated; the host gets no other check.
[[nodiscard]] std::optional<std::string> allowlistKey(std::string_view entry);

// A decimal port: one optional sign ("+", or "-" when allowMinus and the value is zero), then
// one or more ASCII digits, value at most 65535. Zero parses; callers that need 1 to 65535
// test for it.
[[nodiscard]] std::optional<std::uint16_t> parseDecimalPort(std::string_view text,
                                                            bool allowMinus);

}  // namespace quillfern
