// Page loading and recovery: the wait for the bridge, the one way a page is requested, the
// buttons, the viewport fitting and the fallback ladder.
#include "app/Chrome.hpp"
#include "app/MainLoop.hpp"
#include "app/PageScripts.hpp"
#include "app/WebView.hpp"
#include "app/WebViewController.hpp"
#include "log/Log.hpp"
#include "policy/BridgeConfig.hpp"

#include <boost/url/parse.hpp>

#include <chrono>
#include <cmath>
#include <sstream>

namespace quillfern {

namespace {

using namespace std::chrono_literals;

constexpr auto bridgePollInterval = 50ms;
constexpr int lastBridgePoll = 100;
constexpr auto requestTimeout = 30s;
constexpr auto secondViewportFitting = 1200ms;

// A readable rendering of what the viewport script returned.
std::string describe(const ScriptResult& result) {
  if (const auto* number = std::get_if<double>(&result)) {
    if (std::trunc(*number) == *number && std::abs(*number) < 1e15) {
      return std::to_string(static_cast<long long>(*number));
    }
    std::ostringstream text;
    text << *number;
    return text.str();
  }
  if (const auto* flag = std::get_if<bool>(&result)) {
    return *flag ? "true" : "false";
  }
  if (const auto* text = std::get_if<std::string>(&result)) {
    return *text;
  }
  return "null";
}

// A page of the game site, as opposed to the bridge's own pages.
bool isSitePage(const std::string& address) {
  const auto url = boost::urls::parse_uri(address);
  return url
         && (url->scheme_id() == boost::urls::scheme::http
             || url->scheme_id() == boost::urls::scheme::https)
         && BridgeConfig::isTrustedSiteHost(url->host());
}

}  // namespace

void WebViewController::waitForBridgeThenLoad(int attempt) {
  if (initialPageLoaded) {
    return;
  }
  if (!bridge().isRunning() && attempt < lastBridgePoll) {
    mainLoop->runAfter(bridgePollInterval, [weak = weak_from_this(), attempt] {
      if (const auto self = weak.lock()) {
        self->waitForBridgeThenLoad(attempt + 1);
      }
    });
    return;
  }
  initialPageLoaded = true;
  if (!bridge().isRunning()) {
    showBanner("本地桥尚未就绪，页面可以刷新后重试");
  }
  load(BridgeConfig::httpStartURL());
}

void WebViewController::load(const boost::urls::url_view& url) {
  const std::string text(url.buffer());
  log(LogTag::web, "加载：" + text);
  webView->load(text, requestTimeout);
}

void WebViewController::reloadPage() {
  attemptedHTTPFallback = false;
  attemptedLocalFallback = false;
  if (!webView->currentURL()) {
    load(BridgeConfig::httpStartURL());
  } else {
    webView->reload();
  }
}

void WebViewController::togglePageFullscreen() {
  webView->evaluateScript(std::string(fullscreenToggleScript()),
                          [weak = weak_from_this()](const ScriptResult& result) {
                            const auto* flag = std::get_if<bool>(&result);
                            if (flag && *flag) {
                              return;
                            }
                            // On a desktop the window is the game's screen: without the page's
                            // own full screen, the button switches the window's.
                            const auto self = weak.lock();
                            if (self && !self->chrome->toggleWindowFullscreen()) {
                              self->showBanner("当前页面暂不支持切换全屏");
                            }
                          });
}

void WebViewController::applyViewport() {
  // The completion does not need the controller, so it does not hold it.
  webView->evaluateScript(viewportScript(minimumPageWidth), [](const ScriptResult& result) {
    if (const auto* error = std::get_if<ScriptError>(&result)) {
      log(LogTag::web, "页面宽度适配失败：" + error->description);
    } else {
      log(LogTag::web, "页面适配宽度：" + describe(result));
    }
  });
}

void WebViewController::didFinish() {
  const auto url = webView->currentURL();
  log(LogTag::web, "页面完成：" + url.value_or("(未知)"));
  if (url && isSitePage(*url)) {
    hideNotice();
  }
  applyViewport();
  // Pages that lay themselves out late (the game's own scripts) are fitted once more.
  mainLoop->runAfter(secondViewportFitting, [weak = weak_from_this()] {
    if (const auto self = weak.lock()) {
      self->applyViewport();
    }
  });
}

void WebViewController::didFailProvisionalNavigation(const NavigationError& error) {
  log(LogTag::web, "主页面加载失败：" + error.description);
  noteFailure(error);
  fallbackAfterNavigationError();
}

void WebViewController::didFail(const NavigationError& error) {
  // A load we or the page replaced is not a failure of the page.
  if (error.code == NavigationError::cancelledCode) {
    return;
  }
  log(LogTag::web, "页面导航失败：" + error.description);
  noteFailure(error);
  fallbackAfterNavigationError();
}

void WebViewController::noteFailure(const NavigationError& error) {
  if (!attemptedLocalFallback) {
    siteFailure = error;
  }
}

NavigationPolicy WebViewController::decideResponse(const NavigationResponse& response) {
  // An error page of the game site, or of a proxy answering for it, is a failed load: the ladder
  // takes over instead of leaving the player on it. The bridge's own pages are shown as they are.
  return response.status >= 400 && isSitePage(response.url) ? NavigationPolicy::cancel
                                                            : NavigationPolicy::allow;
}

void WebViewController::fallbackAfterNavigationError() {
  if (!attemptedHTTPFallback) {
    attemptedHTTPFallback = true;
    load(BridgeConfig::httpStartURL());
    return;
  }
  if (!attemptedLocalFallback) {
    const std::string address =
        "http://127.0.0.1:" + std::to_string(BridgeConfig::bridgePort) + "/fallback";
    if (const auto url = boost::urls::parse_absolute_uri(address)) {
      attemptedLocalFallback = true;
      load(*url);
      showSiteFailureNotice(true);
      return;
    }
  }
  showBanner("页面加载失败，请点击刷新重试");
  showSiteFailureNotice(false);
}

void WebViewController::webContentProcessDidTerminate() {
  log(LogTag::web, "WebKit 内容进程退出，正在重新载入");
  showBanner("网页进程已恢复，正在重新载入");
  webView->reload();
}

}  // namespace quillfern
