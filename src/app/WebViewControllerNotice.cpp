// The lasting notice: once the game site could not be shown, it says why and offers to try the
// start page again, until the site loads or the player dismisses it.
#include "app/Chrome.hpp"
#include "app/WebViewController.hpp"
#include "policy/BridgeConfig.hpp"

namespace quillfern {

namespace {

// Why the game site could not be shown, in the player's terms.
std::string describeCause(const NavigationError& failure) {
  switch (failure.cause) {
    case NavigationError::Cause::cannotConnect:
      break;
    case NavigationError::Cause::proxy:
      return "代理服务器无法连接或拒绝了请求";
    case NavigationError::Cause::timedOut:
      return "连接游戏网站超时";
    case NavigationError::Cause::errorStatus:
      return "游戏网站返回了错误（HTTP " + std::to_string(failure.code) + "）";
  }
  return "无法连接到游戏网站";
}

}  // namespace

void WebViewController::showSiteFailureNotice(bool localFallbackLoading) {
  const std::string cause =
      siteFailure ? describeCause(*siteFailure) : std::string("无法打开游戏网站");
  const std::string next =
      localFallbackLoading ? "，已改用本地备用页面启动游戏。" : "，本地备用页面也未能打开。";
  std::vector<ChromeAction> buttons;
  buttons.push_back(makeButton("重试", &WebViewController::retryStartPage));
  buttons.push_back(makeButton("关闭", &WebViewController::hideNotice));
  chrome->showNotice(cause + next, std::move(buttons));
  noticeShown = true;
}

void WebViewController::hideNotice() {
  if (noticeShown) {
    noticeShown = false;
    chrome->hideNotice();
  }
}

// The notice's "重试": the whole ladder again, from the start page.
void WebViewController::retryStartPage() {
  hideNotice();
  attemptedHTTPFallback = false;
  attemptedLocalFallback = false;
  load(BridgeConfig::httpStartURL());
}

}  // namespace quillfern
