// The HTTP front: the request reader over the session's buffer, routing, the plain routes and
// the response writer.

#include "bridge/BridgeMetrics.hpp"
#include "bridge/BridgeSession.hpp"
#include "bridge/FallbackPage.hpp"
#include "bridge/HttpResponse.hpp"
#include "log/Log.hpp"
#include "policy/BridgeConfig.hpp"
#include "policy/HostAllowlist.hpp"
#include "policy/UnicodeText.hpp"

#include <cassert>

namespace quillfern {

namespace {

constexpr std::string_view textPlain = "text/plain; charset=utf-8";

}  // namespace

void BridgeSession::armRequestDeadline() {
  requestTimer.expires_after(settings.requestTimeout);
  requestTimer.async_wait(guarded([](BridgeSession& self, const boost::system::error_code& error) {
    self.onRequestDeadline(error);
  }));
}

void BridgeSession::onRequestDeadline(const boost::system::error_code& error) {
  assert(executor.running_in_this_thread());
  // The head may have completed after the timer fired but before this ran.
  if (error == asio::error::operation_aborted || phase != Phase::awaitingHTTP) {
    return;
  }
  fail("请求头未在时限内到齐，已断开连接");
}

boost::system::result<std::optional<BridgeSession::HTTPRequest>> BridgeSession::nextHTTPRequest() {
  const auto view = buffer.view();
  auto head = quillfern::nextHTTPRequest(view, headSearched);
  if (!head) {
    return head.error();
  }
  if (!*head) {
    headSearched = view.size();
    return std::optional<HTTPRequest>();
  }
  buffer.consume((*head)->size);
  headSearched = 0;
  requestTimer.cancel();
  return std::optional<HTTPRequest>(std::move((*head)->request));
}

void BridgeSession::handle(const HTTPRequest& request) {
  assert(executor.running_in_this_thread());
  // A page whose own name has been made to resolve to 127.0.0.1 (DNS rebinding) reaches the
  // bridge as a same-origin request under that name, so a browser's request is answered only
  // under the bridge's own names. A request without a Host header is no browser's.
  if (const auto host = request.header("host");
      host && !BridgeConfig::isAllowedHost(*host, settings.listenPort)) {
    log(LogTag::bridge, "拒绝 Host：" + std::string(*host));
    sendHTTP(403, "Forbidden", "Host rejected\n", textPlain);
    return;
  }
  const std::string_view path = routePath(request.path);
  const auto upgrade = request.header("upgrade");
  if (upgrade && lowercased(*upgrade) == "websocket") {
    handleUpgrade(request, path);
    return;
  }
  handlePlainHTTP(path);
}

void BridgeSession::refuseFoldedHeader() {
  log(LogTag::bridge, make_error_code(SessionError::foldedHeaderLine).message());
  sendHTTP(400, "Bad Request", "Folded header line\n", textPlain);
}

void BridgeSession::handlePlainHTTP(std::string_view path) {
  if (path == "/health") {
    const BridgeMetrics::Snapshot counters = metrics->snapshot();
    sendHTTP(
        200, "OK",
        healthDocument(counters.running, counters.active, counters.bytesUp, counters.bytesDown),
        "application/json; charset=utf-8");
  } else if (path == "/" || path == "/fallback") {
    const std::vector<std::string> hosts = allowlist->sortedHosts();
    sendHTTP(200, "OK", fallbackHTML(hosts), "text/html; charset=utf-8");
  } else {
    sendHTTP(404, "Not Found", "Not found\n", textPlain);
  }
}

void BridgeSession::sendHTTP(int code, std::string_view reason, std::string_view body,
                             std::string_view contentType) {
  if (phase == Phase::closed) {
    return;
  }
  phase = Phase::answering;
  sendRaw(httpResponse(code, reason, body, contentType), [](BridgeSession& self) { self.close(); });
}

}  // namespace quillfern
