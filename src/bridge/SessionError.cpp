#include "bridge/SessionError.hpp"

#include <string>

namespace quillfern {

namespace {

// The opcode of unsupportedOpcode travels in the bits above the case, so that one error code
// carries the case and its data together.
constexpr int caseBits = 8;
constexpr int caseMask = (1 << caseBits) - 1;

// Boost's error_category has a protected non-virtual destructor by design (categories are
// never deleted through the base); the warning does not apply.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
class SessionErrorCategory final : public boost::system::error_category {
public:
  [[nodiscard]] const char* name() const noexcept override { return "quillfern.session"; }

  [[nodiscard]] std::string message(int value) const override {
    switch (static_cast<SessionError>(value & caseMask)) {
      case SessionError::unsupportedOpcode:
        return "不支持的 WebSocket opcode " + std::to_string(value >> caseBits);
      case SessionError::headerTooLarge:
        return "HTTP 请求头过大";
      case SessionError::invalidHTTPRequest:
        return "HTTP 请求无效";
      case SessionError::unmaskedFrame:
        return "客户端 WebSocket 帧未掩码";
      case SessionError::frameTooLarge:
        return "WebSocket 帧过大";
      case SessionError::invalidControlFrame:
        return "WebSocket 控制帧无效";
      case SessionError::nestedFragment:
        return "WebSocket 分片嵌套";
      case SessionError::unexpectedContinuation:
        return "意外的 WebSocket 续帧";
      case SessionError::messageTooLarge:
        return "WebSocket 消息过大";
      case SessionError::foldedHeaderLine:
        return "拒绝折行的 HTTP 请求头";
    }
    return "未知的会话错误";
  }
};
#pragma GCC diagnostic pop

}  // namespace

const boost::system::error_category& sessionErrorCategory() {
  static const SessionErrorCategory category;
  return category;
}

boost::system::error_code make_error_code(SessionError e) {
  return {static_cast<int>(e), sessionErrorCategory()};
}

boost::system::error_code unsupportedOpcodeError(std::uint8_t opcode) {
  return {static_cast<int>(SessionError::unsupportedOpcode) | (int{opcode} << caseBits),
          sessionErrorCategory()};
}

}  // namespace quillfern
