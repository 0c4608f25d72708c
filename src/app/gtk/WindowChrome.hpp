// The Chrome of the one window: an overlay that holds the page with the notice bar below it,
// the loading indicator along the top edge, the control bar in the top-right corner and the
// banners at the bottom centre; it also keeps the window's keys, full screen and state. Owned by
// the controller; main thread only. It goes before the window does: its destructor removes its
// key and pointer controllers from the window, disconnects its handlers and removes its timers.
#pragma once

#include "app/Chrome.hpp"
#include "app/gtk/GLibMainLoop.hpp"
#include "app/gtk/GObjectPtr.hpp"

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <chrono>
#include <vector>

namespace quillfern::gtk {

class WindowChrome final : public Chrome {
public:
  // Makes an overlay the window's content.
  explicit WindowChrome(GtkWindow* toplevel);
  WindowChrome(const WindowChrome&) = delete;
  WindowChrome& operator=(const WindowChrome&) = delete;
  WindowChrome(WindowChrome&&) = delete;
  WindowChrome& operator=(WindowChrome&&) = delete;
  ~WindowChrome() override;

  [[nodiscard]] std::unique_ptr<WebView> createWebView(const WebViewConfiguration& configuration,
                                                       WebViewDelegate& delegate) override;
  void createControlBar(std::vector<ChromeAction> buttons) override;
  void showBanner(std::string_view message) override;
  void showNotice(std::string_view message, std::vector<ChromeAction> buttons) override;
  void hideNotice() override;
  void setPageMenu(std::vector<ChromeAction> items) override;
  void showAbout() override;
  void restoreWindow(const WindowState& state) override;
  [[nodiscard]] WindowState windowState() const override;
  [[nodiscard]] bool toggleWindowFullscreen() override;

private:
  struct Connection {
    GObject* object;  // one reference of ours
    gulong handler;
  };

  GtkWindow* window;    // outlives the chrome
  GtkOverlay* overlay;  // one reference of ours, beside the window's
  GtkBox* column;       // the page above the notice; owned by the overlay
  GtkWidget* notice;    // owned by column
  GtkLabel* noticeText;
  GtkBox* noticeButtons;
  GtkProgressBar* progress;  // owned by the overlay
  GtkWidget* bar = nullptr;  // the control bar, owned by the overlay
  GtkCssProvider* style;
  std::vector<ChromeAction> barButtons;  // never resized after the bar is built
  std::vector<ChromeAction> menuItems;   // never resized after the menu is set
  std::vector<GObjectPtr<GSimpleAction>> menuActions;  // one per item, for the engine's menu
  GtkWidget* page = nullptr;                           // the web view, owned by column
  std::vector<Connection> connections;
  // Added to the window, which outlives the chrome; removed with it.
  GtkEventController* shortcuts;
  GtkEventController* pointer;
  // In full screen the bar fades once the pointer has rested for a while.
  std::chrono::steady_clock::time_point lastPointerMotion;
  bool fadeScheduled = false;
  GLibMainLoop timers;  // declared last: its pending banner steps go first

  void connect(gpointer object, const char* signal, GCallback callback, gpointer data);
  void addShortcut(const char* accelerator, GtkShortcutAction* action);
  void addWindowKeys();
  void followFullscreen();
  void onFullscreenChanged();
  void onPointerMoved();
  void fadeBarWhenIdle();
  void showBar();
  void buildNotice();
  void editPageMenu(WebKitContextMenu* menu) const;
  void followLoading(WebKitWebView* view);
  void removeBanner(GtkWidget* label);
  static gboolean placeBanner(GtkOverlay* overlay, GtkWidget* child, GdkRectangle* allocation,
                              gpointer self);
};

}  // namespace quillfern::gtk
