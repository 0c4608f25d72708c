// The window around the page as the controller sees it: it installs the web view, the control
// bar, the banners and the notice, and shows a loading indicator while the page loads. Owned by
// the controller; used from the main thread.
#pragma once

#include "app/WebView.hpp"
#include "app/WebViewDelegate.hpp"
#include "app/WindowState.hpp"

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quillfern {

// What the controller decides about a new web view; everything else about it is fixed by the
// window (persistent data store, media without a gesture, scripts may open windows, no
// back/forward swipes, pinch zoom on, black background).
struct WebViewConfiguration {
  std::string documentEndScript;  // injected into the main frame only, at document end
  std::string applicationName;    // appended to the engine's user agent
};

// A button, or an item of a menu: its label, what it does and the keys that do the same.
struct ChromeAction {
  std::string title;
  std::function<void()> action;  // called on the main thread when the button is pressed
  // In GTK's accelerator syntax ("F5", "<Control>r"). The window takes them before the page.
  std::vector<std::string> keys{};
};

class Chrome {
public:
  virtual ~Chrome() = default;

  // Builds the web view, fills the window with it and routes its events to delegate, which
  // must outlive it.
  [[nodiscard]] virtual std::unique_ptr<WebView> createWebView(
      const WebViewConfiguration& configuration, WebViewDelegate& delegate) = 0;
  // Puts the buttons, in this order, into the small bar above the top-right corner of the page.
  virtual void createControlBar(std::vector<ChromeAction> buttons) = 0;
  // Shows message now at the bottom centre, above everything shown before; it fades out by
  // itself.
  virtual void showBanner(std::string_view message) = 0;
  // Shows message with the buttons after it, in this order, in a bar along the bottom edge of
  // the window: the page gives up that room, so the notice never covers it. It replaces any
  // notice shown before and stays until hideNotice().
  virtual void showNotice(std::string_view message, std::vector<ChromeAction> buttons) = 0;
  virtual void hideNotice() = 0;
  // The page's right-click menu: these items, in this order, instead of the engine's own
  // navigation items. Pages that make their own menu keep it. Called after createWebView.
  virtual void setPageMenu(std::vector<ChromeAction> items) = 0;
  // The toolkit's About dialog: the program, its version and its licence.
  virtual void showAbout() = 0;
  // Gives the window this size and state; called before the window is shown.
  virtual void restoreWindow(const WindowState& state) = 0;
  // The window's state now; the size is the one it has when neither maximized nor full screen.
  [[nodiscard]] virtual WindowState windowState() const = 0;
  // Switches the window between full screen and its normal size, as F11 does. False when the
  // window cannot (its desktop offers no full screen); nothing changes then.
  [[nodiscard]] virtual bool toggleWindowFullscreen() = 0;

protected:
  Chrome() = default;
  Chrome(const Chrome&) = default;
  Chrome& operator=(const Chrome&) = default;
  Chrome(Chrome&&) = default;
  Chrome& operator=(Chrome&&) = default;
};

}  // namespace quillfern
