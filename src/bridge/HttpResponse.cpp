#include "bridge/HttpResponse.hpp"

#include "policy/BridgeConfig.hpp"

namespace quillfern {

std::vector<std::uint8_t> httpResponse(int code, std::string_view reason, std::string_view body,
                                       std::string_view contentType) {
  std::string head = "HTTP/1.1 " + std::to_string(code) + " " + std::string(reason) + "\r\n";
  head += "Content-Type: " + std::string(contentType) + "\r\n";
  head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  head += "Cache-Control: no-store\r\nConnection: close\r\n\r\n";
  std::vector<std::uint8_t> bytes;
  bytes.reserve(head.size() + body.size());
  bytes.insert(bytes.end(), head.begin(), head.end());
  bytes.insert(bytes.end(), body.begin(), body.end());
  return bytes;
}

std::string healthDocument(bool running, std::int64_t active, std::uint64_t bytesUp,
                           std::uint64_t bytesDown) {
  return std::string("{\"ok\":") + (running ? "true" : "false") + ",\"port\":"
         + std::to_string(BridgeConfig::bridgePort) + ",\"active\":" + std::to_string(active)
         + ",\"up\":" + std::to_string(bytesUp) + ",\"down\":" + std::to_string(bytesDown) + "}";
}

}  // namespace quillfern
