// The WebKitGTK page view against pages served on 127.0.0.1: how the engine's loads, failures,
// policy questions and script results reach the delegate. Needs a display (run under
// xvfb-run); every other address goes to a proxy port where nothing listens.
#include "app/gtk/WebKitPageView.hpp"

#include "support/TemporaryFolder.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quillfern::gtk {
namespace {

using namespace std::chrono_literals;

// Serves a few fixed pages; "/hang" is accepted and never answered, "/bad-gateway" answers 502.
class PageServer {
public:
  PageServer() : listener(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    auto* generic = reinterpret_cast<sockaddr*>(&address);  // NOLINT: the sockets API
    if (::bind(listener, generic, length) != 0 || ::listen(listener, 16) != 0
        || ::getsockname(listener, generic, &length) != 0) {
      throw std::runtime_error("PageServer: cannot listen on 127.0.0.1");
    }
    port = ntohs(address.sin_port);
    worker = std::thread([this] { serve(); });
  }
  PageServer(const PageServer&) = delete;
  PageServer& operator=(const PageServer&) = delete;
  PageServer(PageServer&&) = delete;
  PageServer& operator=(PageServer&&) = delete;
  ~PageServer() {
    stopping = true;
    worker.join();
    for (const int held : hanging) {
      ::close(held);
    }
    ::close(listener);
  }

  [[nodiscard]] std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port) + path;
  }

  std::atomic<int> hangRequests{0};

private:
  int listener;
  int port = 0;
  std::atomic<bool> stopping{false};
  std::vector<int> hanging;  // touched by the worker only, and by the destructor after join
  std::thread worker;

  void serve() {
    while (!stopping) {
      pollfd ready{.fd = listener, .events = POLLIN, .revents = 0};
      if (::poll(&ready, 1, 50) <= 0) {
        continue;
      }
      const int client = ::accept(listener, nullptr, nullptr);
      if (client >= 0) {
        answer(client);
      }
    }
  }

  void answer(int client) {
    std::string head;
    std::array<char, 4096> chunk{};
    const auto until = std::chrono::steady_clock::now() + 2s;
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536
           && std::chrono::steady_clock::now() < until) {
      pollfd readable{.fd = client, .events = POLLIN, .revents = 0};
      if (::poll(&readable, 1, 50) <= 0) {
        continue;
      }
      const ssize_t n = ::read(client, chunk.data(), chunk.size());
      if (n <= 0) {
        break;
      }
      head.append(chunk.data(), static_cast<std::size_t>(n));
    }
    if (!head.starts_with("GET ")) {
      ::close(client);
      return;
    }
    const std::string path = head.substr(4, head.find(' ', 4) - 4);
    if (path.starts_with("/hang")) {
      ++hangRequests;
      hanging.push_back(client);
      return;
    }
    const std::string body = pageFor(path);
    const std::string status = path == "/bad-gateway" ? "502 Bad Gateway" : "200 OK";
    const std::string response =
        "HTTP/1.1 " + status + "\r\nContent-Type: text/html; charset=utf-8\r\n"
        "Connection: close\r\nContent-Length: "
        + std::to_string(body.size()) + "\r\n\r\n" + body;
    for (std::size_t sent = 0; sent < response.size();) {
      const ssize_t n = ::write(client, response.data() + sent, response.size() - sent);
      if (n <= 0) {
        break;
      }
      sent += static_cast<std::size_t>(n);
    }
    ::close(client);
  }

  static std::string pageFor(const std::string& path) {
    if (path == "/frames") {
      return "<body><iframe src=\"https://elsewhere.example/framed\"></iframe></body>";
    }
    if (path == "/popup") {
      return "<body><a id=\"a\" target=\"_blank\" href=\"/page?from=popup\">x</a>"
             "<script>document.getElementById('a').click()</script></body>";
    }
    if (path == "/open") {
      return "<body><script>window.open('/page?from=open')</script></body>";
    }
    return "<!doctype html><title>page</title><body>page</body>";
  }
};

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
  PageServer server;
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
  // Runs the main loop until done() holds or the deadline passes.
  static bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= until) {
        return false;
      }
      g_main_context_iteration(nullptr, FALSE);
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }
  bool waitForEvents(std::size_t count) const {
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

TEST_F(WebKitPageViewTest, FinishedLoadIsReportedOnceWithItsAddress) {
  page->load(server.url("/page"), 30s);
  ASSERT_TRUE(waitForEvents(2));
  settle();
  EXPECT_EQ(delegate.events,
            (std::vector<std::string>{"navigate " + server.url("/page"), "finish"}));
  EXPECT_EQ(page->currentURL(), server.url("/page"));
  EXPECT_EQ(evaluate("document.title"), ScriptResult{std::string("fitted")});
  EXPECT_EQ(evaluate("navigator.userAgent.endsWith(' Test/1')"), ScriptResult{true});
}

TEST_F(WebKitPageViewTest, TimeOutStopsTheLoadAsAProvisionalFailure) {
  page->load(server.url("/page"), 30s);  // the engine's processes are up before the timer runs
  ASSERT_TRUE(waitForEvents(2));
  delegate.events.clear();
  page->load(server.url("/hang"), 300ms);
  ASSERT_TRUE(waitForEvents(2));
  settle();
  EXPECT_EQ(delegate.events,
            (std::vector<std::string>{"navigate " + server.url("/hang"),
                                      "provisional -1001 The request timed out."}));
  EXPECT_EQ(delegate.causes, std::vector{NavigationError::Cause::timedOut});
}

TEST_F(WebKitPageViewTest, RefusedErrorStatusIsAProvisionalFailureWithTheStatus) {
  page->load(server.url("/bad-gateway"), 30s);
  ASSERT_TRUE(waitForEvents(2));
  settle();
  EXPECT_EQ(delegate.events, (std::vector<std::string>{"navigate " + server.url("/bad-gateway"),
                                                       "provisional 502 HTTP 502 Bad Gateway"}));
  EXPECT_EQ(delegate.causes, std::vector{NavigationError::Cause::errorStatus});
  EXPECT_NE(page->currentURL(), server.url("/bad-gateway"));  // the error page is not shown
}

TEST_F(WebKitPageViewTest, ProxyThatCannotBeReachedIsNamedAsTheCause) {
  page->load(RecordingDelegate::proxiedPage, 30s);
  ASSERT_TRUE(waitForEvents(2));
  settle();
  EXPECT_EQ(delegate.events.at(0), std::string("navigate ") + RecordingDelegate::proxiedPage);
  EXPECT_EQ(delegate.causes, std::vector{NavigationError::Cause::proxy});
}

TEST_F(WebKitPageViewTest, LoadReplacedByOurOwnRequestIsNotAFailure) {
  page->load(server.url("/hang"), 30s);
  ASSERT_TRUE(runUntil([&] { return server.hangRequests > 0; }, 10s));
  page->load(server.url("/page"), 30s);
  ASSERT_TRUE(waitForEvents(3));
  settle();
  EXPECT_EQ(delegate.events,
            (std::vector<std::string>{"navigate " + server.url("/hang"),
                                      "navigate " + server.url("/page"), "finish"}));
}

TEST_F(WebKitPageViewTest, SubFrameNavigationIsAskedAndCancelled) {
  page->load(server.url("/frames"), 30s);
  ASSERT_TRUE(runUntil([&] { return delegate.events.size() >= 3; }, 20s));
  settle();
  EXPECT_EQ(delegate.events,
            (std::vector<std::string>{"navigate " + server.url("/frames"),
                                      "navigate https://elsewhere.example/framed", "finish"}));
}

TEST_F(WebKitPageViewTest, NewWindowsLoadInTheSameView) {
  struct Case {
    const char* path;
    const char* opened;
  };
  for (const Case& c : {Case{"/popup", "/page?from=popup"}, Case{"/open", "/page?from=open"}}) {
    SCOPED_TRACE(c.path);
    delegate.events.clear();
    page->load(server.url(c.path), 30s);
    ASSERT_TRUE(runUntil([&] { return page->currentURL() == server.url(c.opened); }, 20s));
    ASSERT_TRUE(runUntil([&] { return delegate.events.back() == "finish"; }, 20s));
  }
}

TEST_F(WebKitPageViewTest, ScriptResultsKeepTheirKind) {
  page->load(server.url("/page"), 30s);
  ASSERT_TRUE(waitForEvents(2));
  EXPECT_EQ(evaluate("1 < 2"), ScriptResult{true});
  EXPECT_EQ(evaluate("Math.max(982, 10)"), ScriptResult{982.0});
  EXPECT_EQ(evaluate("'text'"), ScriptResult{std::string("text")});
  EXPECT_EQ(evaluate("undefined"), ScriptResult{std::monostate{}});
  EXPECT_EQ(evaluate("({a:1})"), ScriptResult{std::string("{\"a\":1}")});
  const ScriptResult thrown = evaluate("throw new Error('boom')");
  ASSERT_TRUE(std::holds_alternative<ScriptError>(thrown));
  EXPECT_NE(std::get<ScriptError>(thrown).description.find("boom"), std::string::npos);
}

TEST_F(WebKitPageViewTest, PendingEvaluationIsDroppedWithThePageView) {
  page->load(server.url("/page"), 30s);
  ASSERT_TRUE(waitForEvents(2));
  bool called = false;
  page->evaluateScript("1", [&](const ScriptResult&) { called = true; });
  page.reset();
  settle();
  EXPECT_FALSE(called);
}

// Points every proxied request at a port on 127.0.0.1 where nothing listens, so that no name
// is looked up and nothing leaves the machine (loopback stays direct), and keeps the engine's
// website data in a temporary folder.
void isolateEnvironment() {
  // Runs before any thread exists, so setenv is safe here.
  static const testing::TemporaryFolder home;
  for (const char* name : {"XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME"}) {
    ::setenv(name, home.path().c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
  }
  // Below the ephemeral range, so that no outgoing connection can take the port as its own
  // source and connect to itself.
  int port = 20000;
  for (; port < 20100; ++port) {
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool free = ::bind(probe, reinterpret_cast<sockaddr*>(&address),  // NOLINT: sockets API
                             sizeof address)
                      == 0;
    ::close(probe);
    if (free) {
      break;
    }
  }
  const std::string proxy = "http://127.0.0.1:" + std::to_string(port);
  for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY"}) {
    ::setenv(name, proxy.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
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
