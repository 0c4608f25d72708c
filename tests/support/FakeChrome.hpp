// A Chrome that makes FakeWebViews, keeps the control bar's buttons for the test to press and
// writes banners to the shared journal.
#pragma once

#include "app/Chrome.hpp"
#include "support/FakeWebView.hpp"

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
  void createControlBar(std::vector<ControlBarButton> bar) override { buttons = std::move(bar); }
  void showBanner(std::string_view message) override {
    journal->push_back("banner " + std::string(message));
  }

  void press(std::string_view title) const {
    for (const ControlBarButton& button : buttons) {
      if (button.title == title) {
        button.action();
        return;
      }
    }
    throw std::invalid_argument("no button " + std::string(title));
  }

  WebViewConfiguration configuration;
  WebViewDelegate* delegate = nullptr;
  FakeWebView* webView = nullptr;  // owned by whoever took the result of createWebView
  std::vector<ControlBarButton> buttons;

private:
  std::shared_ptr<Journal> journal;
};

}  // namespace quillfern::testing
