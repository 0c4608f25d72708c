// The one screen of the application: owns the host allowlist, the loopback bridge (made on
// first use) and the web view, loads the game page once the bridge listens, recovers from
// failed loads and keeps navigation on the game site. Lives on the main thread and must be
// owned by a std::shared_ptr: delayed work holds it weakly.
#pragma once

#include "app/Bridge.hpp"
#include "app/WebViewDelegate.hpp"

#include <boost/url/url_view.hpp>

#include <memory>
#include <optional>
#include <string>

namespace quillfern {

class Chrome;
struct ChromeAction;
class DefaultsStore;
class ExternalOpener;
class HostAllowlist;
class HttpClient;
class MainLoop;
class WebView;

class WebViewController final : public WebViewDelegate,
                                public std::enable_shared_from_this<WebViewController> {
public:
  // The narrowest page width, in CSS pixels, that the viewport script lets the page have.
  static constexpr int minimumPageWidth = 982;

  struct Services {
    std::shared_ptr<DefaultsStore> defaults;  // the allowlist's cache and the window's state
    std::shared_ptr<HttpClient> http;         // for the allowlist refresh
    BridgeFactory makeBridge;
    std::shared_ptr<MainLoop> mainLoop;
    std::shared_ptr<Chrome> chrome;
    std::shared_ptr<ExternalOpener> opener;
  };

  // Creates the allowlist (built-in entries, then the cached list). No bridge, no web view.
  explicit WebViewController(Services services);
  WebViewController(const WebViewController&) = delete;
  WebViewController& operator=(const WebViewController&) = delete;
  WebViewController(WebViewController&&) = delete;
  WebViewController& operator=(WebViewController&&) = delete;
  // Stops the bridge, making it first if it was never used.
  ~WebViewController() override;

  // The start-up sequence: the window as the player left it, web view, control bar, bridge,
  // allowlist refresh, then the wait for the bridge before the start page is loaded.
  void viewDidLoad();
  // Keeps the window's size and state in the settings for the next start.
  void windowWillClose();

  // The "刷新" button: restarts the fallback ladder and reloads the page.
  void reloadPage();
  // The "全屏/退出" button: asks the page to toggle its own full screen, and toggles the
  // window's when the page has none.
  void togglePageFullscreen();

  void didFinish() override;
  void didFailProvisionalNavigation(const NavigationError& error) override;
  void didFail(const NavigationError& error) override;
  void webContentProcessDidTerminate() override;
  [[nodiscard]] NavigationPolicy decidePolicy(const NavigationAction& action) override;
  [[nodiscard]] NavigationPolicy createWebView(const NavigationAction& action) override;
  [[nodiscard]] NavigationPolicy decideResponse(const NavigationResponse& response) override;

private:
  const std::shared_ptr<DefaultsStore> defaults;
  const std::shared_ptr<HostAllowlist> allowlist;
  const BridgeFactory makeBridge;
  const std::shared_ptr<MainLoop> mainLoop;
  const std::shared_ptr<Chrome> chrome;
  const std::shared_ptr<ExternalOpener> opener;
  std::unique_ptr<Bridge> lazyBridge;  // read only through bridge()
  std::unique_ptr<WebView> webView;    // destroyed before the chrome that made it
  bool attemptedHTTPFallback = false;
  bool attemptedLocalFallback = false;
  bool initialPageLoaded = false;
  // The latest failure of a load before the ladder reached the local fallback page: why the
  // game site could not be shown, as the notice says.
  std::optional<NavigationError> siteFailure;
  bool noticeShown = false;

  // The bridge, made with the allowlist on first use; the same object afterwards.
  Bridge& bridge();

  void createWebView();
  void createControlBar();
  void createPageMenu();
  void showAbout();
  [[nodiscard]] ChromeAction makeButton(std::string title, void (WebViewController::*action)());
  // Shows message on a later turn of the main loop, if the controller still exists then.
  void showBanner(std::string message);
  void startBridge();

  void waitForBridgeThenLoad(int attempt);
  void load(const boost::urls::url_view& url);
  void applyViewport();
  void fallbackAfterNavigationError();
  void noteFailure(const NavigationError& error);

  // The lasting notice, shown once the ladder has left the game site and taken down when the
  // site loads or the player acts on it.
  void showSiteFailureNotice(bool localFallbackLoading);
  void hideNotice();
  void retryStartPage();
};

}  // namespace quillfern
