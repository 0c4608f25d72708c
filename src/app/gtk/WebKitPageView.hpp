// The WebView on a WebKitWebView: builds and configures the widget, turns the engine's load,
// policy and process signals into WebViewDelegate calls, and evaluates scripts. Owned by the
// controller; main thread only. Its destructor cancels pending script evaluations and proxy
// lookups, disconnects its signal handlers and removes its time-out before it lets the widget
// go.
#pragma once

#include "app/Chrome.hpp"
#include "app/WebView.hpp"
#include "app/WebViewDelegate.hpp"

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <vector>

namespace quillfern::gtk {

class WebKitPageView final : public WebView {
public:
  // delegate must outlive the page view.
  WebKitPageView(const WebViewConfiguration& configuration, WebViewDelegate& delegate);
  WebKitPageView(const WebKitPageView&) = delete;
  WebKitPageView& operator=(const WebKitPageView&) = delete;
  WebKitPageView(WebKitPageView&&) = delete;
  WebKitPageView& operator=(WebKitPageView&&) = delete;
  ~WebKitPageView() override;

  // The engine has no per-request time-out: a timer stops a load that has started but not
  // committed within timeout and reports it as a provisional failure.
  void load(const std::string& url, std::chrono::milliseconds timeout) override;
  void reload() override;
  [[nodiscard]] std::optional<std::string> currentURL() const override;
  void evaluateScript(const std::string& script, ScriptCompletion completion) override;

  [[nodiscard]] GtkWidget* widget() const { return GTK_WIDGET(view); }

private:
  WebViewDelegate& delegate;
  WebKitNetworkSession* session;
  WebKitWebView* view;  // one reference of ours, beside the one its parent holds
  GCancellable* cancellable;
  std::vector<gulong> handlers;
  guint loadTimer = 0;
  // The main frame has a load, asked for by us or started by the page, that has not committed,
  // failed or finished yet.
  bool provisional = false;
  // Our own request replaced a provisional load: the engine reports that load as cancelled,
  // which is not a failure of the page.
  bool replacedProvisionalLoad = false;
  // The time-out stopped the current load: its cancellation is reported as a time-out.
  bool timedOut = false;
  // A failure was reported for the current load: the "finished" that follows is not a finish.
  bool failureReported = false;
  // The HTTP status of a main-frame response the delegate refused: the failure the engine then
  // reports for the load becomes this status.
  int refusedStatus = 0;
  // The user's proxy resolver names a proxy for the address of our latest own load, so a
  // failure to connect is the proxy's. Answered asynchronously; false until then.
  bool proxied = false;
  unsigned proxyLookup = 0;  // counts our own loads; an older load's answer is dropped

  void beforeOwnLoad();
  void lookUpProxy(const char* uri);
  void stopLoadTimer();
  void onLoadChanged(WebKitLoadEvent event);
  void onLoadFailed(WebKitLoadEvent event, const GError* error);
  [[nodiscard]] gboolean onDecidePolicy(WebKitPolicyDecision* decision,
                                        WebKitPolicyDecisionType type);
  [[nodiscard]] gboolean onDecideResponse(WebKitResponsePolicyDecision* decision);
  [[nodiscard]] NavigationError navigationError(const GError* error) const;
  [[nodiscard]] GtkWidget* onCreate(WebKitNavigationAction* navigation);

  static gboolean onLoadTimeout(gpointer data);
  static void onScriptEvaluated(GObject* source, GAsyncResult* result, gpointer data);
  static void onProxyLookedUp(GObject* source, GAsyncResult* result, gpointer data);
};

}  // namespace quillfern::gtk
