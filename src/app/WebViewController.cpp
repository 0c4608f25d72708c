#include "app/WebViewController.hpp"

#include "app/Chrome.hpp"
#include "app/MainLoop.hpp"
#include "app/PageScripts.hpp"
#include "app/WebView.hpp"
#include "log/Log.hpp"
#include "policy/BridgeConfig.hpp"
#include "policy/HostAllowlist.hpp"

#include <boost/system/system_error.hpp>

#include <exception>

namespace quillfern {

namespace {

// Appended to the engine's user agent, so the game site can tell this application apart.
constexpr std::string_view applicationName = "WrenMobile/0.1 iOS";

}  // namespace

WebViewController::WebViewController(Services services)
    : defaults(std::move(services.defaults)),
      allowlist(std::make_shared<HostAllowlist>(defaults, std::move(services.http))),
      makeBridge(std::move(services.makeBridge)),
      mainLoop(std::move(services.mainLoop)),
      chrome(std::move(services.chrome)),
      opener(std::move(services.opener)) {}

WebViewController::~WebViewController() {
  // A destructor must not throw; stop() only blocks, and the factory's failure has nowhere
  // else to go.
  try {
    bridge().stop();
  } catch (const std::exception& e) {
    log(LogTag::app, e.what());
  }
}

Bridge& WebViewController::bridge() {
  if (!lazyBridge) {
    lazyBridge = makeBridge(allowlist);
  }
  return *lazyBridge;
}

void WebViewController::viewDidLoad() {
  chrome->restoreWindow(WindowState::load(*defaults));
  createWebView();
  createControlBar();
  createPageMenu();
  startBridge();
  allowlist->refresh();
  waitForBridgeThenLoad(0);
}

void WebViewController::windowWillClose() {
  if (const auto error = chrome->windowState().save(*defaults)) {
    log(LogTag::app, "窗口状态保存失败：" + error.message());
  }
}

void WebViewController::createWebView() {
  webView = chrome->createWebView(
      WebViewConfiguration{.documentEndScript = viewportScript(minimumPageWidth),
                           .applicationName = std::string(applicationName)},
      *this);
}

void WebViewController::createControlBar() {
  std::vector<ChromeAction> buttons;
  buttons.push_back(makeButton("刷新", &WebViewController::reloadPage));
  buttons.back().keys = {"F5", "<Control>r"};
  buttons.push_back(makeButton("全屏/退出", &WebViewController::togglePageFullscreen));
  chrome->createControlBar(std::move(buttons));
}

// Replaces the engine's Back, Forward, Stop and Reload, which would take the player off the game.
void WebViewController::createPageMenu() {
  std::vector<ChromeAction> items;
  items.push_back(makeButton("刷新", &WebViewController::reloadPage));
  items.push_back(makeButton("全屏/退出", &WebViewController::togglePageFullscreen));
  items.push_back(makeButton("关于 Quillfern", &WebViewController::showAbout));
  chrome->setPageMenu(std::move(items));
}

void WebViewController::showAbout() {
  chrome->showAbout();
}

ChromeAction WebViewController::makeButton(std::string title, void (WebViewController::*action)()) {
  return ChromeAction{.title = std::move(title), .action = [weak = weak_from_this(), action] {
                        if (const auto self = weak.lock()) {
                          ((*self).*action)();
                        }
                      }};
}

void WebViewController::showBanner(std::string message) {
  // Always deferred, so that a banner asked for during a callback of the web view is shown
  // after that callback has returned.
  mainLoop->runLater([weak = weak_from_this(), text = std::move(message)] {
    if (const auto self = weak.lock()) {
      self->chrome->showBanner(text);
    }
  });
}

void WebViewController::startBridge() {
  std::string description;
  try {
    bridge().start();
    return;
  } catch (const boost::system::system_error& e) {
    description = e.code().message();
  } catch (const std::exception& e) {
    description = e.what();
  }
  log(LogTag::app, "本地桥启动失败：" + description);
  showBanner("本地桥启动失败：无法监听 127.0.0.1:" + std::to_string(BridgeConfig::bridgePort));
}

}  // namespace quillfern
