#include "app/gtk/WebKitPageView.hpp"

#include "app/gtk/Guarded.hpp"

#include <algorithm>
#include <limits>
#include <memory>
#include <string>
#include <string_view>

namespace quillfern::gtk {

namespace {

// The platform's code and words for a request that got no answer in time.
constexpr long timedOutCode = -1001;
constexpr const char* timedOutDescription = "The request timed out.";
constexpr int proxyAuthenticationRequired = 407;

// Website data (cookies, local storage, the game's saved settings) lives in the user's data
// folder and survives restarts; the HTTP cache lives in the cache folder.
WebKitNetworkSession* makePersistentSession() {
  gchar* data = g_build_filename(g_get_user_data_dir(), "quillfern", nullptr);
  gchar* cache = g_build_filename(g_get_user_cache_dir(), "quillfern", nullptr);
  WebKitNetworkSession* session = webkit_network_session_new(data, cache);
  g_free(data);
  g_free(cache);
  return session;
}

// The engine takes navigator.language from the C library's locale. Under the C locale (LANG=C or
// C.UTF-8, common on servers and in containers) that is "C", which JavaScript's Intl rejects as a
// language tag, and the game runtime then fails to build its player. Offer English instead.
void avoidCLocaleLanguage(WebKitWebView* view) {
  const gchar* const* names = g_get_language_names();
  const std::string_view first = names != nullptr && names[0] != nullptr ? names[0] : "C";
  const bool cLocale = first == "C" || first == "POSIX" || first.starts_with("C.")
                       || first.starts_with("C@");
  if (cLocale) {
    const gchar* const english[] = {"en-US", nullptr};
    webkit_web_context_set_preferred_languages(webkit_web_view_get_context(view), english);
  }
}

WebKitSettings* makeSettings(const WebViewConfiguration& configuration) {
  // Back/forward swipes would leave the game; pinch zoom is on by default in the engine.
  // Desktop media always plays inline.
  WebKitSettings* settings = webkit_settings_new_with_settings(
      "enable-javascript", TRUE, "javascript-can-open-windows-automatically", TRUE,
      "media-playback-requires-user-gesture", FALSE, "enable-back-forward-navigation-gestures",
      FALSE, nullptr);
  // Appended as written: the engine's own helper would add a version after the name.
  const std::string userAgent =
      std::string(webkit_settings_get_user_agent(settings)) + " " + configuration.applicationName;
  webkit_settings_set_user_agent(settings, userAgent.c_str());
  return settings;
}

WebKitUserContentManager* makeContentManager(const WebViewConfiguration& configuration) {
  WebKitUserContentManager* content = webkit_user_content_manager_new();
  WebKitUserScript* script = webkit_user_script_new(
      configuration.documentEndScript.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
      WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_END, nullptr, nullptr);
  webkit_user_content_manager_add_script(content, script);
  webkit_user_script_unref(script);
  return content;
}

std::optional<std::string> uriOf(WebKitURIRequest* request) {
  const char* uri = request ? webkit_uri_request_get_uri(request) : nullptr;
  if (!uri || *uri == '\0') {
    return std::nullopt;
  }
  return std::string(uri);
}

// The engine's words for an HTTP status: the code and its standard reason phrase.
std::string describeStatus(int status) {
  const char* reason = soup_status_get_phrase(static_cast<guint>(status));
  return "HTTP " + std::to_string(status) + (reason ? " " + std::string(reason) : "");
}

// The proxy errors of GIO: a tunnel or SOCKS handshake the proxy refused.
bool isProxyError(const GError* error) {
  return g_error_matches(error, G_IO_ERROR, G_IO_ERROR_PROXY_FAILED)
         || g_error_matches(error, G_IO_ERROR, G_IO_ERROR_PROXY_AUTH_FAILED)
         || g_error_matches(error, G_IO_ERROR, G_IO_ERROR_PROXY_NEED_AUTH)
         || g_error_matches(error, G_IO_ERROR, G_IO_ERROR_PROXY_NOT_ALLOWED);
}

struct ProxyLookup {
  WebKitPageView* page;
  unsigned number;
};

ScriptResult scriptResult(JSCValue* value) {
  if (jsc_value_is_undefined(value) || jsc_value_is_null(value)) {
    return std::monostate{};
  }
  if (jsc_value_is_boolean(value)) {
    return jsc_value_to_boolean(value) != FALSE;
  }
  if (jsc_value_is_number(value)) {
    return jsc_value_to_double(value);
  }
  gchar* text =
      jsc_value_is_string(value) ? jsc_value_to_string(value) : jsc_value_to_json(value, 0);
  std::string result = text ? text : "";
  g_free(text);
  return result;
}

}  // namespace

WebKitPageView::WebKitPageView(const WebViewConfiguration& configuration,
                               WebViewDelegate& webViewDelegate)
    : delegate(webViewDelegate),
      session(makePersistentSession()),
      cancellable(g_cancellable_new()) {
  WebKitSettings* settings = makeSettings(configuration);
  WebKitUserContentManager* content = makeContentManager(configuration);
  view = WEBKIT_WEB_VIEW(
      g_object_ref_sink(g_object_new(WEBKIT_TYPE_WEB_VIEW, "network-session", session, "settings",
                                     settings, "user-content-manager", content, nullptr)));
  g_object_unref(settings);
  g_object_unref(content);

  avoidCLocaleLanguage(view);
  const GdkRGBA black{0, 0, 0, 1};
  webkit_web_view_set_background_color(view, &black);
  gtk_widget_set_hexpand(widget(), TRUE);
  gtk_widget_set_vexpand(widget(), TRUE);

  handlers.push_back(g_signal_connect(
      view, "load-changed", G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer self) {
        guarded([&] { static_cast<WebKitPageView*>(self)->onLoadChanged(event); });
      }),
      this));
  handlers.push_back(g_signal_connect(
      view, "load-failed",
      G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gchar*, GError* error, gpointer self) {
        guarded([&] { static_cast<WebKitPageView*>(self)->onLoadFailed(event, error); });
        return gboolean{TRUE};  // handled: the engine shows no error page of its own
      }),
      this));
  handlers.push_back(g_signal_connect(
      view, "decide-policy",
      G_CALLBACK(+[](WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                     gpointer self) {
        gboolean handled = FALSE;
        guarded(
            [&] { handled = static_cast<WebKitPageView*>(self)->onDecidePolicy(decision, type); });
        return handled;
      }),
      this));
  handlers.push_back(g_signal_connect(
      view, "create",
      G_CALLBACK(+[](WebKitWebView*, WebKitNavigationAction* navigation, gpointer self) {
        GtkWidget* created = nullptr;
        guarded([&] { created = static_cast<WebKitPageView*>(self)->onCreate(navigation); });
        return created;
      }),
      this));
  handlers.push_back(g_signal_connect(
      view, "web-process-terminated",
      G_CALLBACK(+[](WebKitWebView*, WebKitWebProcessTerminationReason, gpointer self) {
        guarded(
            [&] { static_cast<WebKitPageView*>(self)->delegate.webContentProcessDidTerminate(); });
      }),
      this));
}

WebKitPageView::~WebKitPageView() {
  g_cancellable_cancel(cancellable);
  for (const gulong handler : handlers) {
    g_signal_handler_disconnect(view, handler);
  }
  stopLoadTimer();
  g_object_unref(cancellable);
  g_object_unref(view);
  g_object_unref(session);
}

NavigationError WebKitPageView::navigationError(const GError* error) const {
  NavigationError failure{.code = error->code, .description = error->message};
  if (g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED)) {
    failure.code = NavigationError::cancelledCode;
  } else if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT)) {
    failure.cause = NavigationError::Cause::timedOut;
  } else if (isProxyError(error) || proxied) {
    // Through a proxy, the site's own failures come back as error statuses; a failure to
    // connect or a dropped connection is the proxy's.
    failure.cause = NavigationError::Cause::proxy;
  }
  return failure;
}

void WebKitPageView::load(const std::string& url, std::chrono::milliseconds timeout) {
  beforeOwnLoad();
  lookUpProxy(url.c_str());
  WebKitURIRequest* request = webkit_uri_request_new(url.c_str());
  webkit_web_view_load_request(view, request);
  g_object_unref(request);
  const auto milliseconds = std::clamp<std::chrono::milliseconds::rep>(
      timeout.count(), 1, std::numeric_limits<guint>::max());
  loadTimer = g_timeout_add(static_cast<guint>(milliseconds), onLoadTimeout, this);
}

void WebKitPageView::reload() {
  beforeOwnLoad();
  if (const char* uri = webkit_web_view_get_uri(view)) {
    lookUpProxy(uri);
  }
  webkit_web_view_reload(view);
}

// A request of ours replaces whatever the main frame is loading. The engine then reports the
// replaced load as cancelled before it commits, which is our doing and not a failure of the
// page, so that one report is dropped.
void WebKitPageView::beforeOwnLoad() {
  stopLoadTimer();
  timedOut = false;
  if (provisional) {
    replacedProvisionalLoad = true;
  }
  // Pending from now on, not only from the engine's "started": that event may come after the
  // request has gone out, too late to tell a replaced load from a failed one.
  provisional = true;
  refusedStatus = 0;
}

// Asks the same resolver the engine's network process uses (it inherits our environment and
// desktop settings) whether uri goes through a proxy.
void WebKitPageView::lookUpProxy(const char* uri) {
  proxied = false;
  g_proxy_resolver_lookup_async(g_proxy_resolver_get_default(), uri, cancellable, onProxyLookedUp,
                                new ProxyLookup{this, ++proxyLookup});
}

void WebKitPageView::onProxyLookedUp(GObject* source, GAsyncResult* result, gpointer data) {
  const std::unique_ptr<ProxyLookup> lookup(static_cast<ProxyLookup*>(data));
  GError* error = nullptr;
  gchar** proxies = g_proxy_resolver_lookup_finish(G_PROXY_RESOLVER(source), result, &error);
  const bool cancelled = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
  const bool viaProxy =
      proxies != nullptr && proxies[0] != nullptr && std::string_view(proxies[0]) != "direct://";
  g_clear_error(&error);
  g_strfreev(proxies);
  // Cancelled: the page view is gone and nothing of it may be touched.
  if (!cancelled && lookup->number == lookup->page->proxyLookup) {
    lookup->page->proxied = viaProxy;
  }
}

std::optional<std::string> WebKitPageView::currentURL() const {
  const char* uri = webkit_web_view_get_uri(view);
  if (!uri || *uri == '\0') {
    return std::nullopt;
  }
  return std::string(uri);
}

void WebKitPageView::evaluateScript(const std::string& script, ScriptCompletion completion) {
  webkit_web_view_evaluate_javascript(view, script.c_str(), static_cast<gssize>(script.size()),
                                      nullptr, nullptr, cancellable, onScriptEvaluated,
                                      new ScriptCompletion(std::move(completion)));
}

void WebKitPageView::onScriptEvaluated(GObject* source, GAsyncResult* result, gpointer data) {
  const std::unique_ptr<ScriptCompletion> completion(static_cast<ScriptCompletion*>(data));
  GError* error = nullptr;
  JSCValue* value =
      webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
  if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
    g_error_free(error);  // the page view is gone; nothing of it may be touched
    return;
  }
  const ScriptResult outcome =
      error ? ScriptResult{ScriptError{error->message}} : scriptResult(value);
  g_clear_error(&error);
  g_clear_object(&value);
  guarded([&] { (*completion)(outcome); });
}

void WebKitPageView::stopLoadTimer() {
  if (loadTimer != 0) {
    g_source_remove(loadTimer);
    loadTimer = 0;
  }
}

gboolean WebKitPageView::onLoadTimeout(gpointer data) {
  auto* self = static_cast<WebKitPageView*>(data);
  self->loadTimer = 0;
  // Stopping makes the engine report the load as cancelled; that report becomes the time-out.
  self->timedOut = self->provisional;
  if (self->timedOut) {
    webkit_web_view_stop_loading(self->view);
  }
  return G_SOURCE_REMOVE;
}

void WebKitPageView::onLoadChanged(WebKitLoadEvent event) {
  switch (event) {
    case WEBKIT_LOAD_STARTED:
      provisional = true;
      break;
    case WEBKIT_LOAD_REDIRECTED:
      break;
    case WEBKIT_LOAD_COMMITTED:
      provisional = false;
      replacedProvisionalLoad = false;  // the replaced load would have been reported by now
      refusedStatus = 0;
      stopLoadTimer();
      break;
    case WEBKIT_LOAD_FINISHED:
      // The engine ends a failed load with "finished" too, possibly after the next load has
      // started; only a load that did not fail has finished for the delegate.
      if (failureReported) {
        failureReported = false;
        break;
      }
      provisional = false;
      stopLoadTimer();
      delegate.didFinish();
      break;
  }
}

void WebKitPageView::onLoadFailed(WebKitLoadEvent event, const GError* error) {
  failureReported = true;
  const bool beforeCommit = event != WEBKIT_LOAD_COMMITTED;
  NavigationError failure = navigationError(error);
  if (beforeCommit && refusedStatus != 0) {
    // Whatever the engine calls the load it was told to drop, it failed by its status; 407 is
    // the proxy asking for credentials we do not have.
    failure = NavigationError{.code = refusedStatus,
                              .description = describeStatus(refusedStatus),
                              .cause = refusedStatus == proxyAuthenticationRequired
                                           ? NavigationError::Cause::proxy
                                           : NavigationError::Cause::errorStatus};
    refusedStatus = 0;
  } else if (beforeCommit && failure.code == NavigationError::cancelledCode) {
    if (timedOut) {
      timedOut = false;
      failure = NavigationError{.code = timedOutCode,
                                .description = timedOutDescription,
                                .cause = NavigationError::Cause::timedOut};
    } else if (replacedProvisionalLoad) {
      replacedProvisionalLoad = false;
      return;
    }
  }
  provisional = false;
  replacedProvisionalLoad = false;
  stopLoadTimer();
  if (beforeCommit) {
    delegate.didFailProvisionalNavigation(failure);
  } else {
    delegate.didFail(failure);
  }
}

gboolean WebKitPageView::onDecidePolicy(WebKitPolicyDecision* decision,
                                        WebKitPolicyDecisionType type) {
  if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) {
    return onDecideResponse(WEBKIT_RESPONSE_POLICY_DECISION(decision));
  }
  // Asked for every frame, sub-frames included; a new-window action has no target frame.
  WebKitNavigationAction* navigation = webkit_navigation_policy_decision_get_navigation_action(
      WEBKIT_NAVIGATION_POLICY_DECISION(decision));
  WebKitURIRequest* request = webkit_navigation_action_get_request(navigation);
  const NavigationAction action{
      .url = uriOf(request),
      .targetsNewWindow = type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION};
  switch (delegate.decidePolicy(action)) {
    case NavigationPolicy::allow:
      webkit_policy_decision_use(decision);
      break;
    case NavigationPolicy::cancel:
      webkit_policy_decision_ignore(decision);
      break;
    case NavigationPolicy::loadInPlace:
      webkit_policy_decision_ignore(decision);
      beforeOwnLoad();
      webkit_web_view_load_request(view, request);
      break;
  }
  return TRUE;
}

gboolean WebKitPageView::onDecideResponse(WebKitResponsePolicyDecision* decision) {
  // Sub-frames and downloads keep the engine's default.
  if (webkit_response_policy_decision_is_main_frame_main_resource(decision) == FALSE) {
    return FALSE;
  }
  WebKitURIResponse* response = webkit_response_policy_decision_get_response(decision);
  const char* uri = webkit_uri_response_get_uri(response);
  const NavigationResponse answer{
      .url = uri ? uri : "",
      .status = static_cast<int>(webkit_uri_response_get_status_code(response))};
  if (delegate.decideResponse(answer) == NavigationPolicy::allow) {
    return FALSE;  // shown, or handled as the engine does by default
  }
  refusedStatus = answer.status;
  webkit_policy_decision_ignore(WEBKIT_POLICY_DECISION(decision));
  return TRUE;
}

GtkWidget* WebKitPageView::onCreate(WebKitNavigationAction* navigation) {
  WebKitURIRequest* request = webkit_navigation_action_get_request(navigation);
  const NavigationAction action{.url = uriOf(request), .targetsNewWindow = true};
  if (delegate.createWebView(action) == NavigationPolicy::loadInPlace) {
    beforeOwnLoad();
    webkit_web_view_load_request(view, request);
  }
  return nullptr;  // never a second web view
}

}  // namespace quillfern::gtk
