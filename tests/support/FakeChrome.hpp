// The window's seams for tests, all writing what they are asked to do to one shared journal:
// a WebView that keeps script completions until the test answers them; and a Chrome, also the
// ExternalOpener, that makes such web views and keeps the buttons of the control bar and the
// notice for the test to press.
#pragma once

#include "app/Chrome.hpp"
#include "app/ExternalOpener.hpp"
#include "app/WebView.hpp"

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace quillfern::testing {

// What the fakes were asked to do, in order: "load <url>", "reload", "banner <text>", ...
using Journal = std::vector<std::string>;

class FakeWebView final : public WebView {
public:
  struct Evaluation {
    std::string script;
    ScriptCompletion completion;
  };

  explicit FakeWebView(std::shared_ptr<Journal> sharedJournal)
      : journal(std::move(sharedJournal)) {}

  void load(const std::string& address, std::chrono::milliseconds timeout) override {
    journal->push_back("load " + address);
    lastTimeout = timeout;
  }
  void reload() override { journal->push_back("reload"); }
  [[nodiscard]] std::optional<std::string> currentURL() const override { return url; }
  void evaluateScript(const std::string& script, ScriptCompletion completion) override {
    journal->push_back("evaluate");
    evaluations.push_back({script, std::move(completion)});
  }

  // Answers the oldest evaluation still waiting.
  void answer(ScriptResult result) {
    Evaluation next = std::move(evaluations.front());
    evaluations.pop_front();
    next.completion(std::move(result));
  }

  std::optional<std::string> url;  // what currentURL() reports
  std::chrono::milliseconds lastTimeout{0};
  std::deque<Evaluation> evaluations;

private:
  std::shared_ptr<Journal> journal;
};

class FakeChrome final : public Chrome, public ExternalOpener {
public:
  explicit FakeChrome(std::shared_ptr<Journal> sharedJournal) : journal(std::move(sharedJournal)) {}

  [[nodiscard]] std::unique_ptr<WebView> createWebView(const WebViewConfiguration& config,
                                                       WebViewDelegate& /*delegate*/) override {
    configuration = config;
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
  void open(const std::string& url) override { journal->push_back("open " + url); }
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

}  // namespace quillfern::testing
