// What the web view reports to its owner, and the policy questions it asks. Every call comes
// on the main thread; the web view never outlives its delegate.
#pragma once

#include <optional>
#include <string>

namespace quillfern {

// A failed navigation. The engine's own cancelled-load error is reported with cancelledCode.
struct NavigationError {
  static constexpr long cancelledCode = -999;

  // What went wrong, in the terms a player can act on.
  enum class Cause {
    cannotConnect,  // the site could not be reached: no network, no such host, refused
    proxy,          // the proxy could not be reached, or refused the request
    timedOut,       // no answer in time
    errorStatus,    // the site answered with an HTTP error status; code holds the status
  };

  long code = 0;
  std::string description;  // the engine's own words
  Cause cause = Cause::cannotConnect;
};

// The answer to a navigation of the main frame, before it is shown.
struct NavigationResponse {
  std::string url;
  int status = 0;  // the HTTP status; 0 for a scheme without one
};

// A navigation the page or the user started.
struct NavigationAction {
  std::optional<std::string> url;  // absent when the request has none
  bool targetsNewWindow = false;   // no target frame: the page asked for a new window or tab
};

enum class NavigationPolicy {
  allow,
  cancel,
  // Cancel the action and load its request in this same web view instead.
  loadInPlace,
};

class WebViewDelegate {
public:
  virtual ~WebViewDelegate() = default;

  // The main frame finished loading. Not reported for a load that failed.
  virtual void didFinish() = 0;
  // The main frame's load failed before anything of the new page was shown.
  virtual void didFailProvisionalNavigation(const NavigationError& error) = 0;
  // The main frame's load failed after the new page had begun to show.
  virtual void didFail(const NavigationError& error) = 0;
  // The process that renders the page ended; the page is gone.
  virtual void webContentProcessDidTerminate() = 0;
  // Asked for every navigation in any frame, before it starts. Answered at once.
  [[nodiscard]] virtual NavigationPolicy decidePolicy(const NavigationAction& action) = 0;
  // Asked when the page wants a new window. No new web view is ever made: the answer is
  // loadInPlace or cancel.
  [[nodiscard]] virtual NavigationPolicy createWebView(const NavigationAction& action) = 0;
  // Asked when the main frame's response arrives. allow shows it; cancel drops it, and the load
  // is then reported as a provisional failure with the response's status (Cause::errorStatus;
  // Cause::proxy for a proxy's 407).
  [[nodiscard]] virtual NavigationPolicy decideResponse(const NavigationResponse& response) = 0;

protected:
  WebViewDelegate() = default;
  WebViewDelegate(const WebViewDelegate&) = default;
  WebViewDelegate& operator=(const WebViewDelegate&) = default;
  WebViewDelegate(WebViewDelegate&&) = default;
  WebViewDelegate& operator=(WebViewDelegate&&) = default;
};

}  // namespace quillfern
