// The WebKitGTK page view against pages served on 127.0.0.1: how the engine's loads, failures,
// policy questions and script results reach the delegate, and what the controller's page scripts
// do in the engine. Needs a display (run under xvfb-run); every other address goes to a proxy
// port where nothing listens.
#include "app/gtk/WebKitPageView.hpp"

#include "app/PageScripts.hpp"
#include "support/LocalHttpServer.hpp"
#include "support/TemporaryFolder.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace quillfern::gtk {
namespace {

using namespace std::chrono_literals;
using testing::LocalHttpServer;

// The pages the server gives; "/hang" is never answered and "/bad-gateway" answers 502.
LocalHttpServer::Reply pageFor(const LocalHttpServer::Request& request) {
  static const std::map<std::string, std::string> pages{
      {"/frames", R"(<iframe src="https://elsewhere.example/framed"></iframe>)"},
      {"/popup", R"(<a id="a" target="_blank" href="/page?from=popup">x</a>)"
                 "<script>document.getElementById('a').click()</script>"},
      {"/open", "<script>window.open('/page?from=open')</script>"},
      {"/wide", R"(<div style="width:1500px;height:10px"></div><style>body{margin:0}</style>)"},
      {"/toggle", "<script>var toggled=0;function toggleFullscreen(){toggled++}</script>"},
      {"/custom",
       "<script>var isCustomFullscreen=true,left=0;"
       "function exitCustomFullscreen(){left++}</script>"},
  };
  const auto found = pages.find(request.target);
  return {.status = request.target == "/bad-gateway" ? 502 : 200,
          .body = "<!doctype html><title>page</title><body>"
                  + (found == pages.end() ? std::string("page") : found->second) + "</body>",
          .headers = {{"Content-Type", "text/html; charset=utf-8"}},
          .hold = request.target == "/hang"};
}

// Records what the page view reports; keeps navigation on the test server.
class RecordingDelegate final : public WebViewDelegate {
public:
  explicit RecordingDelegate(std::string serverOrigin) : origin(std::move(serverOrigin)) {}

  void didFinish() override { events.emplace_back("finish"); }
  void didFailProvisionalNavigation(const NavigationError& error) override {
    events.push_back("provisional " + std::to_string(error.code) + " " + error.description);
    causes.push_back(error.cause);
  }
  void didFail(const NavigationError& error) override {
    events.push_back("committed " + std::to_string(error.code) + " " + error.description);
  }
  void webContentProcessDidTerminate() override { events.emplace_back("terminated"); }
  NavigationPolicy decidePolicy(const NavigationAction& action) override {
    const std::string url = action.url.value_or("");
    events.push_back(std::string(action.targetsNewWindow ? "new window " : "navigate ") + url);
    if (!url.starts_with(origin) && !url.starts_with("about:") && url != proxiedPage) {
      return NavigationPolicy::cancel;
    }
    return action.targetsNewWindow ? NavigationPolicy::loadInPlace : NavigationPolicy::allow;
  }
  NavigationPolicy createWebView(const NavigationAction& action) override {
    events.push_back("create " + action.url.value_or(""));
    return NavigationPolicy::loadInPlace;
  }
  NavigationPolicy decideResponse(const NavigationResponse& response) override {
    return response.status >= 400 ? NavigationPolicy::cancel : NavigationPolicy::allow;
  }

  // An address off loopback: it goes to the proxy, where nothing listens.
  static constexpr const char* proxiedPage = "http://elsewhere.example/";

  std::vector<std::string> events;
  std::vector<NavigationError::Cause> causes;  // of the provisional failures, in order

private:
  std::string origin;
};

class WebKitPageViewTest : public ::testing::Test {
protected:
  LocalHttpServer server{pageFor};
  RecordingDelegate delegate{server.url("/")};
  GtkWindow* window = GTK_WINDOW(gtk_window_new());
  std::unique_ptr<WebKitPageView> page = std::make_unique<WebKitPageView>(
      WebViewConfiguration{.documentEndScript = "document.title='fitted';",
                           .applicationName = "Test/1"},
      delegate);

  WebKitPageViewTest() {
    gtk_window_set_child(window, page->widget());
    gtk_window_present(window);
  }
  ~WebKitPageViewTest() override {
    page.reset();
    gtk_window_destroy(window);
  }

public:
  WebKitPageViewTest(const WebKitPageViewTest&) = delete;
  WebKitPageViewTest& operator=(const WebKitPageViewTest&) = delete;
  WebKitPageViewTest(WebKitPageViewTest&&) = delete;
  WebKitPageViewTest& operator=(WebKitPageViewTest&&) = delete;

protected:
  // Runs the main loop until done() holds or the deadline passes. A tick wakes the loop every
  // 10 ms to ask again.
  static bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    const guint tick = g_timeout_add(
        10, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    while (!done() && std::chrono::steady_clock::now() < until) {
      g_main_context_iteration(nullptr, TRUE);
    }
    g_source_remove(tick);
    return done();
  }
  // Loads path and waits until the delegate has heard count events.
  bool load(const std::string& path, std::size_t count, std::chrono::milliseconds timeout = 30s) {
    page->load(path.starts_with("/") ? server.url(path) : path, timeout);
    return runUntil([&] { return delegate.events.size() >= count; }, 20s);
  }
  // Runs the loop a little longer, so that a report that should not come would have come.
  static void settle() {
    runUntil([] { return false; }, 500ms);
  }

  ScriptResult evaluate(const std::string& script) {
    std::optional<ScriptResult> result;
    page->evaluateScript(script, [&](ScriptResult value) { result = std::move(value); });
    EXPECT_TRUE(runUntil([&] { return result.has_value(); }, 10s)) << script;
    return result.value_or(ScriptError{"no answer"});
  }
};

// A load that replaces one still waiting is no failure of the first; the second's end is
// reported once, with its address.
TEST_F(WebKitPageViewTest, FinishedLoadIsReportedOnceAndAReplacedLoadIsNoFailure) {
  page->load(server.url("/hang"), 30s);
  ASSERT_TRUE(runUntil([&] { return !server.requests().empty(); }, 10s));
  ASSERT_TRUE(load("/page", 3));
  settle();
  EXPECT_EQ(delegate.events,
            (std::vector<std::string>{"navigate " + server.url("/hang"),
                                      "navigate " + server.url("/page"), "finish"}));
  EXPECT_EQ(page->currentURL(), server.url("/page"));
  EXPECT_EQ(evaluate("document.title"), ScriptResult{std::string("fitted")});
  EXPECT_EQ(evaluate("navigator.userAgent.endsWith(' Test/1')"), ScriptResult{true});
}

TEST_F(WebKitPageViewTest, FailedLoadsAreProvisionalFailuresWithTheirCause) {
  using Cause = NavigationError::Cause;
  ASSERT_TRUE(load("/page", 2));  // the engine's processes are up before any timer runs
  struct Case {
    std::string path;
    std::chrono::milliseconds timeout;
    std::string failure;
    Cause cause;
  };
  for (const Case& c : {
           Case{"/hang", 300ms, "provisional -1001 The request timed out.", Cause::timedOut},
           Case{"/bad-gateway", 30s, "provisional 502 HTTP 502 Bad Gateway", Cause::errorStatus},
           Case{RecordingDelegate::proxiedPage, 30s, "", Cause::proxy},
       }) {
    SCOPED_TRACE(c.path);
    delegate.events.clear();
    delegate.causes.clear();
    ASSERT_TRUE(load(c.path, 2, c.timeout));
    settle();
    const std::string url = c.path.starts_with("/") ? server.url(c.path) : c.path;
    EXPECT_EQ(delegate.events.at(0), "navigate " + url);
    if (!c.failure.empty()) {  // the proxy's failure is told in the engine's own words
      EXPECT_EQ(delegate.events, (std::vector<std::string>{"navigate " + url, c.failure}));
    }
    EXPECT_EQ(delegate.causes, std::vector{c.cause});
    EXPECT_NE(page->currentURL(), url);  // no error page is shown
  }
}

// Sub-frames are asked about too; new windows load in the same view.
TEST_F(WebKitPageViewTest, SubFramesAreAskedAndNewWindowsLoadInTheSameView) {
  ASSERT_TRUE(load("/frames", 3));
  settle();
  EXPECT_EQ(delegate.events,
            (std::vector<std::string>{"navigate " + server.url("/frames"),
                                      "navigate https://elsewhere.example/framed", "finish"}));
  for (const std::string from : {"popup", "open"}) {
    SCOPED_TRACE(from);
    page->load(server.url("/" + from), 30s);
    ASSERT_TRUE(
        runUntil([&] { return page->currentURL() == server.url("/page?from=" + from); }, 20s));
    ASSERT_TRUE(runUntil([&] { return delegate.events.back() == "finish"; }, 20s));
  }
}

// The controller's scripts do what it relies on, and their results keep their kind: the
// viewport is widened to the page's width but at least 982 pixels, and the full-screen toggle
// answers true only where the page has one of its own.
TEST_F(WebKitPageViewTest, PageScriptsWorkInTheEngine) {
  const std::string viewport = viewportScript(982);
  const std::string fullscreen(fullscreenToggleScript());
  const std::string meta = "document.querySelector('meta[name=viewport]').content";
  struct Case {
    std::string path, script;
    ScriptResult expected;
    std::string after;  // evaluated after the script
    ScriptResult afterwards;
  };
  for (const Case& c : {
           Case{"/page", viewport, 982.0, meta,
                std::string("width=982,minimum-scale=0.25,maximum-scale=5,user-scalable=yes")},
           Case{"/wide", viewport, 1500.0, meta,
                std::string("width=1500,minimum-scale=0.25,maximum-scale=5,user-scalable=yes")},
           Case{"/toggle", fullscreen, true, "toggled", 1.0},
           Case{"/custom", fullscreen, true, "left", 1.0},
           Case{"/page", fullscreen, false, "'text'", std::string("text")},
           Case{"/page", "undefined", std::monostate{}, "({a:1})", std::string("{\"a\":1}")},
       }) {
    SCOPED_TRACE(c.path + " " + c.script.substr(0, 20));
    delegate.events.clear();
    ASSERT_TRUE(load(c.path, 2));
    EXPECT_EQ(evaluate(c.script), c.expected);
    EXPECT_EQ(evaluate(c.after), c.afterwards);
  }
  const ScriptResult thrown = evaluate("throw new Error('boom')");
  ASSERT_TRUE(std::holds_alternative<ScriptError>(thrown));
  EXPECT_NE(std::get<ScriptError>(thrown).description.find("boom"), std::string::npos);
}

TEST_F(WebKitPageViewTest, PendingEvaluationIsDroppedWithThePageView) {
  ASSERT_TRUE(load("/page", 2));
  bool called = false;
  page->evaluateScript("1", [&](const ScriptResult&) { called = true; });
  page.reset();
  settle();
  EXPECT_FALSE(called);
}

// Points every proxied request at the discard port on 127.0.0.1, where nothing listens, so that
// no name is looked up and nothing leaves the machine (loopback stays direct), and keeps the
// engine's website data in a temporary folder. Runs before any thread exists, so setenv is safe.
void isolateEnvironment() {
  static const testing::TemporaryFolder home;
  for (const char* name : {"XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME"}) {
    ::setenv(name, home.path().c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
  }
  for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY"}) {
    ::setenv(name, "http://127.0.0.1:9", 1);  // NOLINT(concurrency-mt-unsafe)
  }
  for (const char* name : {"no_proxy", "NO_PROXY"}) {
    ::setenv(name, "127.0.0.1,localhost", 1);  // NOLINT(concurrency-mt-unsafe)
  }
}

}  // namespace
}  // namespace quillfern::gtk

int main(int argc, char** argv) {
  quillfern::gtk::isolateEnvironment();
  if (!gtk_init_check()) {
    std::fprintf(stderr, "no display: run under xvfb-run\n");
    return 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
