// The embedded web view as the controller sees it. Owned by the controller, used from the main
// thread; its events arrive through WebViewDelegate.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <variant>

namespace quillfern {

// Why a script could not be evaluated, in the engine's own words.
struct ScriptError {
  std::string description;

  bool operator==(const ScriptError&) const = default;
};

// What a script evaluated to: an error, nothing (undefined or null), a boolean, a number, or
// any other value as text (strings as they are, objects as JSON).
using ScriptResult = std::variant<ScriptError, std::monostate, bool, double, std::string>;

class WebView {
public:
  using ScriptCompletion = std::function<void(ScriptResult)>;

  virtual ~WebView() = default;

  // Requests url in the main frame. When no response has arrived timeout after the request,
  // the load is stopped and reported as a provisional failure.
  virtual void load(const std::string& url, std::chrono::milliseconds timeout) = 0;
  virtual void reload() = 0;
  // The address of the page shown or being loaded; nothing when there is none, for example
  // after the first request failed before anything was shown.
  [[nodiscard]] virtual std::optional<std::string> currentURL() const = 0;
  // Evaluates script in the main frame of the current page. The completion runs later on the
  // main thread, at most once, and not at all once the web view is gone.
  virtual void evaluateScript(const std::string& script, ScriptCompletion completion) = 0;

protected:
  WebView() = default;
  WebView(const WebView&) = default;
  WebView& operator=(const WebView&) = default;
  WebView(WebView&&) = default;
  WebView& operator=(WebView&&) = default;
};

}  // namespace quillfern
