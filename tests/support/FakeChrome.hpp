// A Chrome that makes FakeWebViews, keeps the buttons of the control bar and the notice for the
// test to press and writes banners and notices to the shared journal; and an ExternalOpener
// that writes "open <url>" there.
#pragma once

#include "app/Chrome.hpp"
#include "app/ExternalOpener.hpp"
#include "support/FakeWebView.hpp"

#include <optional>
#include <stdexcept>

namespace quillfern::testing {

class FakeChrome final : public Chrome {
public:
  explicit FakeChrome(std::shared_ptr<Journal> sharedJournal) : journal(std::move(sharedJournal)) {}

  [[nodiscard]] std::unique_ptr<WebView> createWebView(const WebViewConfiguration& config,
                                                       WebViewDelegate& webViewDelegate) override {
    configuration = config;
    delegate = &webViewDelegate;
    auto view = std::make_unique<FakeWebView>(journal);
    webView = view.get();
    return view;
  }
  void createControlBar(std::vector<ChromeAction> bar) override { buttons = std::move(bar); }
  void showBanner(std::string_view message) override {
    journal->push_back("banner " + std::string(message));
  }
  void showNotice(std::string_view message, std::vector<ChromeAction> actions) override {
    std::string entry = "notice " + std::string(message);
    for (const ChromeAction& button : actions) {
      entry += " [" + button.title + "]";
    }
    journal->push_back(entry);
    noticeButtons = std::move(actions);
  }
  void hideNotice() override {
    journal->emplace_back("hide notice");
    noticeButtons.clear();
  }
  void setPageMenu(std::vector<ChromeAction> items) override { menu = std::move(items); }
  void showAbout() override { journal->emplace_back("about"); }
  void restoreWindow(const WindowState& state) override { restored = state; }
  [[nodiscard]] WindowState windowState() const override { return window; }
  [[nodiscard]] bool toggleWindowFullscreen() override {
    if (windowCanFullscreen) {
      journal->emplace_back("window full screen");
    }
    return windowCanFullscreen;
  }

  // Presses the button of that title on the control bar or the notice.
  void press(std::string_view title) const {
    for (const auto* group : {&buttons, &noticeButtons}) {
      if (activate(*group, title)) {
        return;
      }
    }
    throw std::invalid_argument("no button " + std::string(title));
  }
  void choose(std::string_view title) const {
    if (!activate(menu, title)) {
      throw std::invalid_argument("no menu item " + std::string(title));
    }
  }

  WebViewConfiguration configuration;
  WebViewDelegate* delegate = nullptr;
  FakeWebView* webView = nullptr;           // owned by whoever took the result of createWebView
  std::vector<ChromeAction> buttons;        // the control bar's
  std::vector<ChromeAction> noticeButtons;  // the notice's, while it is shown
  std::vector<ChromeAction> menu;           // the page's right-click menu
  bool windowCanFullscreen = true;
  std::optional<WindowState> restored;  // what the controller gave the window
  WindowState window;                   // what windowState() reports

private:
  std::shared_ptr<Journal> journal;

  static bool activate(const std::vector<ChromeAction>& group, std::string_view title) {
    for (const ChromeAction& item : group) {
      if (item.title == title) {
        const auto action = item.action;  // a copy: pressing may take the notice down
        action();
        return true;
      }
    }
    return false;
  }
};

class FakeExternalOpener final : public ExternalOpener {
public:
  explicit FakeExternalOpener(std::shared_ptr<Journal> sharedJournal)
      : journal(std::move(sharedJournal)) {}
  void open(const std::string& url) override { journal->push_back("open " + url); }

private:
  std::shared_ptr<Journal> journal;
};

}  // namespace quillfern::testing
