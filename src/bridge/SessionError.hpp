// The protocol errors of a bridge session, as error codes whose category holds the fixed
// descriptions. Pure; safe from any thread. BridgeSession nests this enum as
// BridgeSession::SessionError; it lives here so that the byte parsers need no sockets.
#pragma once

#include <boost/system/error_code.hpp>

#include <cstdint>
#include <type_traits>

namespace quillfern {

enum class SessionError {
  unsupportedOpcode = 1,  // carries the opcode: see unsupportedOpcodeError()
  headerTooLarge,
  invalidHTTPRequest,
  unmaskedFrame,
  frameTooLarge,
  invalidControlFrame,
  nestedFragment,
  unexpectedContinuation,
  messageTooLarge,
  foldedHeaderLine,  // refused with a 400 response, unlike the others
};

[[nodiscard]] const boost::system::error_category& sessionErrorCategory();

[[nodiscard]] boost::system::error_code make_error_code(SessionError e);

// unsupportedOpcode with its opcode, whose description ends with the opcode in decimal.
[[nodiscard]] boost::system::error_code unsupportedOpcodeError(std::uint8_t opcode);

}  // namespace quillfern

template <>
struct boost::system::is_error_code_enum<quillfern::SessionError> : std::true_type {};
