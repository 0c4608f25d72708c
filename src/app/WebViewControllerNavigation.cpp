// Navigation policy: the web view shows only the game site and the bridge's own pages; every
// other address goes to the desktop.
#include "app/ExternalOpener.hpp"
#include "app/WebViewController.hpp"
#include "log/Log.hpp"
#include "policy/BridgeConfig.hpp"
#include "policy/StrictURL.hpp"

namespace quillfern {

namespace {

[[nodiscard]] bool isAllowed(const std::string& url) {
  const auto parsed = parseStrictURI(url);
  return parsed && BridgeConfig::isAllowedNavigation(*parsed);
}

// "about" is compared as written: the blank page and its kin stay in the web view.
[[nodiscard]] bool isAboutScheme(const std::string& url) {
  const auto parsed = parseStrictURI(url);
  return parsed && parsed->scheme() == "about";
}

}  // namespace

NavigationPolicy WebViewController::decidePolicy(const NavigationAction& action) {
  if (!action.url) {
    return NavigationPolicy::cancel;
  }
  if (!isAboutScheme(*action.url) && !isAllowed(*action.url)) {
    log(LogTag::web, "交给系统打开外部链接：" + *action.url);
    opener->open(*action.url);
    return NavigationPolicy::cancel;
  }
  // A new window or tab on the game site opens in this one: there is only one web view.
  return action.targetsNewWindow ? NavigationPolicy::loadInPlace : NavigationPolicy::allow;
}

NavigationPolicy WebViewController::createWebView(const NavigationAction& action) {
  if (!action.url) {
    return NavigationPolicy::cancel;
  }
  if (isAllowed(*action.url)) {
    return NavigationPolicy::loadInPlace;
  }
  opener->open(*action.url);
  return NavigationPolicy::cancel;
}

}  // namespace quillfern
