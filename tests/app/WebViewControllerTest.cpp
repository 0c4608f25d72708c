#include "app/WebViewController.hpp"

#include "app/PageScripts.hpp"
#include "policy/HostAllowlist.hpp"
#include "support/FakeBridge.hpp"
#include "support/FakeChrome.hpp"
#include "support/FakeHttpClient.hpp"
#include "support/LogCapture.hpp"
#include "support/MemoryStore.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace quillfern {
namespace {

using namespace std::chrono_literals;
using testing::FakeBridge;
using testing::FakeBridgeState;
using testing::FakeChrome;
using testing::FakeMainLoop;
using testing::FakeWebView;
using testing::Journal;

const std::string startPage = "load http://game.quillfern.example/?player=ruffle&app=ios";
const std::string fallbackPage = "load http://127.0.0.1:9882/fallback";
const std::string ladderUsedUp = "banner 页面加载失败，请点击刷新重试";

class WebViewControllerTest : public ::testing::Test {
protected:
  std::shared_ptr<testing::FakeHttpClient> http = std::make_shared<testing::FakeHttpClient>();
  std::shared_ptr<Journal> journal = std::make_shared<Journal>();
  std::shared_ptr<testing::MemoryStore> store = std::make_shared<testing::MemoryStore>();
  std::shared_ptr<FakeBridgeState> bridge = std::make_shared<FakeBridgeState>();
  std::shared_ptr<FakeMainLoop> loop = std::make_shared<FakeMainLoop>();
  std::shared_ptr<FakeChrome> chrome = std::make_shared<FakeChrome>(journal);
  testing::LogCapture logs;
  std::shared_ptr<WebViewController> controller;

  // The analyzer loses track of the factory's std::function storage, which the controller
  // frees; valgrind finds no leak here.
  // NOLINTBEGIN(clang-analyzer-cplusplus.NewDeleteLeaks)
  void makeController() {
    controller = std::make_shared<WebViewController>(WebViewController::Services{
        .defaults = store,
        .http = http,
        .makeBridge = FakeBridge::factory(bridge),
        .mainLoop = loop,
        .chrome = chrome,
        .opener = chrome,
    });
  }
  // NOLINTEND(clang-analyzer-cplusplus.NewDeleteLeaks)

  // Builds the screen with the bridge already listening, so the start page is requested at
  // once, and forgets what the journal has seen so far.
  void startListening() {
    bridge->running = true;
    makeController();
    controller->viewDidLoad();
    loop->runPending();
    ASSERT_EQ(*journal, Journal{startPage});
    journal->clear();
  }

  FakeWebView& webView() const { return *chrome->webView; }

  enum class Asked { policy, newWindow };

  // Asks a fresh controller one navigation question. Describes the answer, and whether the
  // address was handed to the desktop and logged; anything else it did is spelt out.
  std::string decide(const NavigationAction& action, Asked asked) {
    startListening();
    logs.clear();
    const NavigationPolicy policy = asked == Asked::policy ? controller->decidePolicy(action)
                                                           : controller->createWebView(action);
    const std::string url = action.url.value_or("");
    std::string outcome = policy == NavigationPolicy::allow    ? "allow"
                          : policy == NavigationPolicy::cancel ? "cancel"
                                                               : "load in place";
    const Journal done = taken();
    if (!done.empty()) {
      outcome += done == Journal{"open " + url} ? ", handed out" : ", did " + done.front();
    }
    const auto lines = logs.lines();
    if (!lines.empty()) {
      outcome += lines == std::vector<std::string>{"[Quillfern][web] 交给系统打开外部链接：" + url}
                     ? ", logged"
                     : ", logged " + lines.front();
    }
    controller.reset();
    return outcome;
  }

  // The journal since the last call, after the main loop has run what is due.
  Journal taken() {
    loop->runPending();
    Journal seen = *journal;
    journal->clear();
    return seen;
  }
};

// The scripts' texts are tested in the engine; here, which runs when, and what the keys and
// the page menu do.
TEST_F(WebViewControllerTest, EachScriptRunsOnItsCueAndTheMenuActs) {
  startListening();
  EXPECT_EQ(chrome->configuration.documentEndScript, viewportScript(982));
  EXPECT_EQ(chrome->buttons.at(0).keys, (std::vector<std::string>{"F5", "<Control>r"}));
  controller->didFinish();
  chrome->press("全屏/退出");
  ASSERT_EQ(webView().evaluations.size(), 2U);
  EXPECT_EQ(webView().evaluations[0].script, viewportScript(982));
  EXPECT_EQ(webView().evaluations[1].script, fullscreenToggleScript());
  taken();
  webView().url = "http://game.quillfern.example/";
  for (const char* title : {"刷新", "全屏/退出", "关于 Quillfern"}) {
    chrome->choose(title);
  }
  EXPECT_EQ(taken(), (Journal{"reload", "evaluate", "about"}));
}

TEST_F(WebViewControllerTest, StartPageRequestedAtOnceWhenBridgeListens) {
  startListening();
  EXPECT_EQ(bridge->made, 1);
  EXPECT_EQ(bridge->starts, 1);
  EXPECT_EQ(http->urls().size(), 1U);  // the allowlist refresh, once
  EXPECT_EQ(webView().lastTimeout, 30s);
  EXPECT_TRUE(
      logs.contains("[Quillfern][web] 加载：http://game.quillfern.example/?player=ruffle&app=ios"));
  loop->advance(10s);
  EXPECT_TRUE(taken().empty());  // no banner, no second request
}

TEST_F(WebViewControllerTest, StartFailureShowsBannerAndStillWaitsUntilAttemptHundred) {
  bridge->startFailure = make_error_code(boost::system::errc::address_in_use);
  makeController();
  controller->viewDidLoad();
  EXPECT_EQ(taken(), Journal{"banner 本地桥启动失败：无法监听 127.0.0.1:9882"});
  EXPECT_TRUE(logs.contains("[Quillfern][app] 本地桥启动失败：Address already in use"));
  EXPECT_EQ(http->urls().size(), 1U);  // the refresh runs all the same
  loop->advance(4999ms);
  EXPECT_TRUE(taken().empty());
  loop->advance(1ms);  // attempt 100, 100 polls of 50 ms after attempt 0
  EXPECT_EQ(taken(), (Journal{startPage, "banner 本地桥尚未就绪，页面可以刷新后重试"}));
  loop->advance(10s);
  EXPECT_TRUE(taken().empty());
  EXPECT_EQ(loop->pending(), 0U);
}

TEST_F(WebViewControllerTest, ReloadDuringTheWaitLoadsAtOnceAndAgainWhenItEnds) {
  makeController();
  controller->viewDidLoad();
  loop->advance(1s);
  chrome->press("刷新");
  EXPECT_EQ(taken(), Journal{startPage});  // no page yet: the start page, not a reload

  webView().url = "http://game.quillfern.example/?player=ruffle&app=ios";
  chrome->press("刷新");
  EXPECT_EQ(taken(), Journal{"reload"});

  bridge->running = true;
  loop->advance(49ms);
  EXPECT_TRUE(taken().empty());
  loop->advance(1ms);  // the next poll, at 1050 ms
  EXPECT_EQ(taken(), Journal{startPage});
  loop->advance(10s);
  EXPECT_TRUE(taken().empty());
}

// One row per sequence of events after the start page was requested, with what the controller
// asked for in answer to each event. The notice names why the site failed, and stays until the
// player acts or the site loads.
TEST_F(WebViewControllerTest, FallbackLadder) {
  using Cause = NavigationError::Cause;
  using Event = std::function<void()>;
  struct Step {
    Event event;
    Journal expected;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
  };
  const std::string site = "http://game.quillfern.example/?player=ruffle&app=ios";
  const NavigationError failed{.code = -1004, .description = "Could not connect"};
  const NavigationError cancelled{.code = -999, .description = "Load request cancelled"};
  const auto provisional = [this](NavigationError error) -> Event {
    return [this, error] {
      controller->didFailProvisionalNavigation(error);
    };
  };
  const auto committed = [this](NavigationError error) -> Event {
    return [this, error] {
      controller->didFail(error);
    };
  };
  const Event fails = provisional(failed);
  const Event errorPage = [this] {  // the site answers 502: the response is refused, the load fails
    EXPECT_EQ(controller->decideResponse({.url = "http://game.quillfern.example/", .status = 502}),
              NavigationPolicy::cancel);
    controller->didFailProvisionalNavigation(
        {.code = 502, .description = "HTTP 502 Bad Gateway", .cause = Cause::errorStatus});
  };
  const auto finishOn = [this](std::string url) -> Event {
    return [this, url] {
      webView().url = url;
      controller->didFinish();
    };
  };
  const auto press = [this](const char* title) -> Event {
    return [this, title] {
      chrome->press(title);
    };
  };
  const Event crash = [this] {
    controller->webContentProcessDidTerminate();
  };
  const auto notice = [](const std::string& why, bool onFallback) {
    return "notice " + why
           + (onFallback ? "，已改用本地备用页面启动游戏。" : "，本地备用页面也未能打开。")
           + " [重试] [关闭]";
  };
  const std::string onFallback = notice("无法连接到游戏网站", true);
  const std::string usedUp = notice("无法连接到游戏网站", false);
  const std::string crashBanner = "banner 网页进程已恢复，正在重新载入";
  std::vector<Case> cases{
      {"start page, again, fallback, then banner",
       {{fails, {startPage}},
        {fails, {fallbackPage, onFallback}},
        {fails, {usedUp, ladderUsedUp}},
        {committed(failed), {usedUp, ladderUsedUp}}}},
      {"cancelled provisional failure advances the ladder",
       {{provisional(cancelled), {startPage}},
        {provisional(cancelled), {fallbackPage, onFallback}}}},
      {"an error page of the site walks the ladder to the fallback page",
       {{errorPage, {startPage}},
        {errorPage, {fallbackPage, notice("游戏网站返回了错误（HTTP 502）", true)}},
        {fails,  // the notice keeps naming the site's failure
         {notice("游戏网站返回了错误（HTTP 502）", false), ladderUsedUp}}}},
      {"cancelled committed failure is ignored",
       {{committed(cancelled), {}}, {committed(failed), {startPage}}, {committed(cancelled), {}}}},
      {"a finished load does not reset the ladder",
       {{fails, {startPage}},
        {finishOn(site), {"evaluate"}},
        {committed(failed), {fallbackPage, onFallback}},
        {finishOn(site), {"hide notice", "evaluate"}},  // the site loaded after all
        {committed(failed), {usedUp, ladderUsedUp}}}},
      {"reload after the ladder is used up restarts it",
       {{fails, {startPage}},
        {fails, {fallbackPage, onFallback}},
        {press("刷新"), {"reload"}},
        {fails, {startPage}},
        {fails, {fallbackPage, onFallback}},
        {fails, {usedUp, ladderUsedUp}}}},
      {"a web-process crash reloads and leaves the ladder alone",
       {{fails, {startPage}},
        {crash, {"reload", crashBanner}},
        {fails, {fallbackPage, onFallback}}}},
      {"the notice stays until the player acts or the site loads",
       {{fails, {startPage}},
        {fails, {fallbackPage, onFallback}},
        {finishOn("http://127.0.0.1:9882/fallback"), {"evaluate"}},  // not the site
        {press("关闭"), {"hide notice"}},
        {fails, {usedUp, ladderUsedUp}},
        {press("刷新"), {"reload"}},
        {press("重试"), {"hide notice", startPage}},  // the whole ladder again
        {fails, {startPage}},
        {finishOn(site), {"evaluate"}}}},  // nothing to take down
  };
  for (const auto& [cause, why] : std::vector<std::pair<Cause, std::string>>{
           {Cause::cannotConnect, "无法连接到游戏网站"},
           {Cause::proxy, "代理服务器无法连接或拒绝了请求"},
           {Cause::timedOut, "连接游戏网站超时"},
           {Cause::errorStatus, "游戏网站返回了错误（HTTP 504）"}}) {
    const Event failure =
        provisional({.code = 504, .description = "HTTP 504 Gateway Timeout", .cause = cause});
    cases.push_back({"the notice names the cause",
                     {{failure, {startPage}}, {failure, {fallbackPage, notice(why, true)}}}});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    startListening();
    webView().url = site;
    for (const Step& step : c.steps) {
      step.event();
      EXPECT_EQ(taken(), step.expected);
    }
    controller.reset();
    *journal = {};
  }
}

TEST_F(WebViewControllerTest, ErrorStatusOfTheSiteFailsTheLoad) {
  struct Case {
    const char* url;
    int status;
    NavigationPolicy expected;
  };
  const auto refused = NavigationPolicy::cancel;
  const auto shown = NavigationPolicy::allow;
  for (const Case& c : {
           Case{"http://game.quillfern.example/?player=ruffle&app=ios", 502, refused},
           Case{"https://game.quillfern.example/", 400, refused},  // after a redirect
           Case{"http://game.quillfern.example/", 399, shown},
           Case{"http://127.0.0.1:9882/missing", 404, shown},  // the bridge's own pages
           Case{"about:blank", 0, shown},
       }) {
    SCOPED_TRACE(std::string(c.url) + " " + std::to_string(c.status));
    startListening();
    EXPECT_EQ(controller->decideResponse({.url = c.url, .status = c.status}), c.expected);
    EXPECT_TRUE(taken().empty());  // the failure the web view reports next does the rest
    controller.reset();
  }
}

TEST_F(WebViewControllerTest, FailuresAreLoggedWithTheEnginesWords) {
  startListening();
  controller->didFailProvisionalNavigation({.code = 1, .description = "Could not connect"});
  controller->didFail({.code = 2, .description = "Message corrupt"});
  controller->didFail({.code = -999, .description = "Load request cancelled"});
  controller->webContentProcessDidTerminate();
  EXPECT_TRUE(logs.contains("[Quillfern][web] 主页面加载失败：Could not connect"));
  EXPECT_TRUE(logs.contains("[Quillfern][web] 页面导航失败：Message corrupt"));
  EXPECT_FALSE(logs.contains("[Quillfern][web] 页面导航失败：Load request cancelled"));
  EXPECT_TRUE(logs.contains("[Quillfern][web] WebKit 内容进程退出，正在重新载入"));
}

TEST_F(WebViewControllerTest, FinishedLoadFitsViewportNowAndAfterOnePointTwoSeconds) {
  startListening();
  controller->didFinish();
  EXPECT_TRUE(logs.contains("[Quillfern][web] 页面完成：(未知)"));
  EXPECT_EQ(taken(), Journal{"evaluate"});
  webView().answer(982.0);
  EXPECT_TRUE(logs.contains("[Quillfern][web] 页面适配宽度：982"));

  loop->advance(1199ms);
  EXPECT_TRUE(taken().empty());
  loop->advance(1ms);
  EXPECT_EQ(taken(), Journal{"evaluate"});
  webView().answer(ScriptError{"TypeError: document.body is null"});
  EXPECT_TRUE(logs.contains("[Quillfern][web] 页面宽度适配失败：TypeError: document.body is null"));

  webView().url = "http://127.0.0.1:9882/fallback";
  controller->didFinish();
  EXPECT_TRUE(logs.contains("[Quillfern][web] 页面完成：http://127.0.0.1:9882/fallback"));
}

// The second fitting and the crash's banner wait for the main loop, and go with the controller.
TEST_F(WebViewControllerTest, DeferredWorkIsDroppedWithTheController) {
  startListening();
  controller->didFinish();
  controller->webContentProcessDidTerminate();
  EXPECT_EQ(*journal, (Journal{"evaluate", "reload"}));
  controller.reset();  // destroys the web view too; its evaluations go with it
  loop->advance(2s);
  EXPECT_EQ(taken(), (Journal{"evaluate", "reload"}));
}

TEST_F(WebViewControllerTest, FullscreenFallsBackToTheWindowUnlessPageAnsweredTrue) {
  struct Case {
    const char* name;
    ScriptResult result;
    bool windowCan;
    Journal expected;
  };
  const std::string window = "window full screen";
  const std::string banner = "banner 当前页面暂不支持切换全屏";
  for (const Case& c :
       {Case{"true", true, true, {"evaluate"}}, Case{"false", false, true, {"evaluate", window}},
        Case{"undefined", std::monostate{}, true, {"evaluate", window}},
        Case{"number one", 1.0, true, {"evaluate", window}},
        Case{"string true", std::string("true"), true, {"evaluate", window}},
        Case{"error", ScriptError{"ReferenceError"}, true, {"evaluate", window}},
        Case{"false, window cannot", false, false, {"evaluate", banner}},
        Case{"true, window cannot", true, false, {"evaluate"}}}) {
    SCOPED_TRACE(c.name);
    startListening();
    chrome->windowCanFullscreen = c.windowCan;
    chrome->press("全屏/退出");
    webView().answer(c.result);
    EXPECT_EQ(taken(), c.expected);
    controller.reset();
  }
}

// The hosts are the policy's own table; here, what the controller does with each kind of
// answer, and its own rules: "about:" pages and new windows.
TEST_F(WebViewControllerTest, NavigationPolicy) {
  struct Case {
    std::optional<std::string> url;
    Asked asked = Asked::policy;
    bool newWindow = false;
    const char* expected = nullptr;
  };
  const char* const handedOut = "cancel, handed out, logged";
  for (const Case& c : {
           Case{"about:blank", Asked::policy, false, "allow"},
           Case{"about:blank", Asked::policy, true, "load in place"},
           Case{"ABOUT:blank", Asked::policy, false, handedOut},            // compared as written
           Case{"about://127.0.0.1evil", Asked::policy, false, handedOut},  // not a URL
           Case{"http://game.quillfern.example/play", Asked::policy, false, "allow"},
           Case{"https://game.quillfern.example/news", Asked::policy, true, "load in place"},
           Case{"http://127.0.0.1:9882/fallback", Asked::policy, false, "allow"},
           Case{"http://127.0.0.1:9882.evil.example/", Asked::policy, false, handedOut},
           Case{"https://elsewhere.example/ad", Asked::policy, true, handedOut},
           Case{"mailto:help@quillfern.example", Asked::policy, false, handedOut},
           Case{std::nullopt, Asked::policy, false, "cancel"},
           Case{std::nullopt, Asked::policy, true, "cancel"},
           Case{"https://game.quillfern.example/help", Asked::newWindow, true, "load in place"},
           Case{"http://127.0.0.1:9882/fallback", Asked::newWindow, true, "load in place"},
           // No "about" exception for new windows, and no log line.
           Case{"about:blank", Asked::newWindow, true, "cancel, handed out"},
           Case{"https://elsewhere.example/", Asked::newWindow, true, "cancel, handed out"},
           Case{std::nullopt, Asked::newWindow, true, "cancel"},
       }) {
    SCOPED_TRACE(c.url.value_or("(none)") + (c.newWindow ? " (new window)" : "")
                 + (c.asked == Asked::newWindow ? " (create)" : ""));
    EXPECT_EQ(decide({.url = c.url, .targetsNewWindow = c.newWindow}, c.asked), c.expected);
  }
}

using Scalars = std::map<std::string, DefaultsScalar>;

DefaultsScalar number(std::int64_t value) {
  return value;
}

TEST_F(WebViewControllerTest, WindowOpensAsThePlayerLeftIt) {
  struct Case {
    const char* name;
    Scalars stored;
    WindowState expected;
  };
  const std::string width = "quillfern.window.width";
  const std::string height = "quillfern.window.height";
  const std::string maximized = "quillfern.window.maximized";
  const std::string fullscreen = "quillfern.window.fullscreen";
  for (const Case& c : std::vector<Case>{
           {"nothing stored", {}, {}},
           {"all of it",
            {{width, number(1000)}, {height, number(600)}, {maximized, true}, {fullscreen, true}},
            {.width = 1000, .height = 600, .maximized = true, .fullscreen = true}},
           {"the smallest size",
            {{width, number(640)}, {height, number(360)}},
            {.width = 640, .height = 360}},
           {"too narrow: the size goes, the flag stays",
            {{width, number(639)}, {height, number(600)}, {maximized, true}},
            {.maximized = true}},
           {"too low", {{width, number(1000)}, {height, number(359)}}, {}},
           {"too large", {{width, number(16385)}, {height, number(600)}}, {}},
           {"half a size", {{width, number(1000)}}, {}},
           {"values of another kind",
            {{width, true}, {height, number(600)}, {maximized, number(1)}, {fullscreen, number(0)}},
            {}},
       }) {
    SCOPED_TRACE(c.name);
    store->scalars = c.stored;
    startListening();
    EXPECT_EQ(chrome->restored, c.expected);
    controller.reset();
  }
}

TEST_F(WebViewControllerTest, WindowStateIsKeptWhenTheWindowCloses) {
  startListening();
  chrome->window = {.width = 900, .height = 500, .maximized = true, .fullscreen = false};
  controller->windowWillClose();
  EXPECT_EQ(store->scalars, (Scalars{{"quillfern.window.width", number(900)},
                                     {"quillfern.window.height", number(500)},
                                     {"quillfern.window.maximized", true},
                                     {"quillfern.window.fullscreen", false}}));
  store->failWrites = true;
  controller->windowWillClose();
  EXPECT_TRUE(logs.contains("[Quillfern][app] 窗口状态保存失败：Input/output error"));
}

TEST_F(WebViewControllerTest, OwnsOneBridgeOverItsAllowlistAndStopsIt) {
  makeController();  // a bridge that never started is stopped all the same
  controller.reset();
  EXPECT_EQ(bridge->made, 1);
  EXPECT_EQ(bridge->starts, 0);
  EXPECT_EQ(bridge->stops, 1);
  *bridge = {};

  store->values[std::string(HostAllowlist::cacheKey)] = {"cached.example:1234"};
  startListening();
  chrome->press("刷新");
  controller->didFinish();
  loop->advance(5s);
  EXPECT_EQ(bridge->made, 1);
  ASSERT_NE(bridge->allowlist, nullptr);
  EXPECT_TRUE(bridge->allowlist->allows("cached.example", 1234));
  EXPECT_FALSE(
      bridge->allowlist->allows("192.0.2.10", 1863));  // the cache replaced the built-in set
  EXPECT_EQ(bridge->stops, 0);
  controller.reset();
  EXPECT_EQ(bridge->made, 1);
  EXPECT_EQ(bridge->stops, 1);
}

}  // namespace
}  // namespace quillfern
