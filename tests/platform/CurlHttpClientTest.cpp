#include "platform/CurlHttpClient.hpp"

#include "support/LocalHttpServer.hpp"
#include "support/ScopedEnvironment.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace quillfern {
namespace {

using namespace std::chrono_literals;
using testing::LocalHttpServer;
using Reply = LocalHttpServer::Reply;

// Gathers the outcomes of the completions it hands out. It must outlive the client.
class Outcomes {
public:
  HttpClient::Completion completion() {
    return [this](HttpClient::Outcome outcome) {
      {
        const std::scoped_lock guard(mutex);
        received.push_back(std::move(outcome));
        threads.push_back(std::this_thread::get_id());
      }
      changed.notify_all();
    };
  }
  [[nodiscard]] bool waitFor(std::size_t count, std::chrono::milliseconds deadline = 10s) {
    std::unique_lock guard(mutex);
    return changed.wait_for(guard, deadline, [&] { return received.size() >= count; });
  }
  [[nodiscard]] std::vector<HttpClient::Outcome> all() {
    const std::scoped_lock guard(mutex);
    return received;
  }
  [[nodiscard]] HttpClient::Outcome only() {
    EXPECT_TRUE(waitFor(1));
    const std::scoped_lock guard(mutex);
    EXPECT_EQ(received.size(), 1U);
    return received.empty() ? HttpClient::Outcome{} : received.front();
  }
  [[nodiscard]] std::vector<std::thread::id> completionThreads() {
    const std::scoped_lock guard(mutex);
    return threads;
  }

private:
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<HttpClient::Outcome> received;
  std::vector<std::thread::id> threads;
};

HttpClient::Request requestFor(std::string url) {
  return {.url = std::move(url), .headers = {}, .timeout = 10s};
}

// The body, or the transport error prefixed with "error: ", of a finished request.
std::string textOf(const HttpClient::Outcome& outcome) {
  if (!outcome.response) {
    return "error: " + outcome.error;
  }
  return std::to_string(outcome.response->status) + " "
         + outcome.response->body.value_or("(no body)");
}

TEST(CurlHttpClient, SendsTheHeadersInOrderAndAnswersOnItsOwnThread) {
  const LocalHttpServer server(LocalHttpServer::always(Reply{.status = 200, .body = "[\"a:1\"]"}));
  Outcomes outcomes;
  CurlHttpClient client;
  client.get({.url = server.url("/doc?x=1"), .headers = {{"X-Second", "2"}, {"X-First", "1"}}},
             outcomes.completion());
  EXPECT_EQ(textOf(outcomes.only()), "200 [\"a:1\"]");
  EXPECT_NE(outcomes.completionThreads().at(0), std::this_thread::get_id());
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1U);
  EXPECT_EQ(requests[0].method + " " + requests[0].target, "GET /doc?x=1");
  // libcurl's own defaults come first; ours follow in the order given, not sorted.
  EXPECT_EQ(requests[0].headers,
            (LocalHttpServer::Headers{{"Host", "127.0.0.1:" + std::to_string(server.port())},
                                      {"Accept", "*/*"},
                                      {"X-Second", "2"},
                                      {"X-First", "1"}}));
}

TEST(CurlHttpClient, PassesEveryStatusOnWithTheBody) {
  struct Case {
    int status;
    std::string body, expected;
  };
  for (const Case& c : {Case{200, "", "200 "},  // an empty body is present, not absent
                        Case{200, "[]", "200 []"}, Case{404, "[\"a:1\"]", "404 [\"a:1\"]"},
                        Case{500, "oops", "500 oops"},
                        Case{304, "[\"a:1\"]", "304 "}}) {  // 304 has no body by definition
    SCOPED_TRACE(c.status);
    const LocalHttpServer server(
        LocalHttpServer::always(Reply{.status = c.status, .body = c.body}));
    Outcomes outcomes;
    CurlHttpClient client;
    client.get(requestFor(server.url("/")), outcomes.completion());
    EXPECT_EQ(textOf(outcomes.only()), c.expected);
  }
}

TEST(CurlHttpClient, FollowsRedirectsAndRefusesOtherSchemes) {
  const LocalHttpServer server([](const LocalHttpServer::Request& request) {
    const auto to = [](std::string where) {
      return Reply{.status = 302, .body = "", .headers = {{"Location", std::move(where)}}};
    };
    if (request.target == "/a") {
      return Reply{.status = 301, .body = "", .headers = {{"Location", "/b"}}};
    }
    if (request.target == "/b") {
      return Reply{.status = 307, .body = "", .headers = {{"Location", "c"}}};
    }
    if (request.target == "/loop") {
      return to("/loop");
    }
    if (request.target == "/file") {
      return to("file:///etc/hostname");
    }
    return Reply{.status = 200, .body = "at " + request.target};
  });
  struct Case {
    std::string url, expected;
  };
  for (const Case& c : {
           Case{server.url("/a"), "200 at /c"},
           Case{server.url("/loop"), "error: Maximum (20) redirects followed"},
           Case{server.url("/file"),
                "error: Protocol \"file\" not supported or disabled in libcurl"},
           Case{"file:///etc/hostname",
                "error: Protocol \"file\" not supported or disabled in libcurl"},
       }) {
    SCOPED_TRACE(c.url);
    Outcomes outcomes;
    CurlHttpClient client;
    client.get(requestFor(c.url), outcomes.completion());
    EXPECT_EQ(textOf(outcomes.only()), c.expected);
  }
}

TEST(CurlHttpClient, ReportsTransportFailuresInLibcurlsWords) {
  std::string closedURL;
  {
    const LocalHttpServer gone(LocalHttpServer::always(Reply{}));
    closedURL = gone.url("/");
  }
  const LocalHttpServer silent(LocalHttpServer::always(Reply{.hold = true}));
  Outcomes outcomes;
  CurlHttpClient client;
  client.get(requestFor(closedURL), outcomes.completion());
  client.get({.url = silent.url("/"), .headers = {}, .timeout = 300ms}, outcomes.completion());
  ASSERT_TRUE(outcomes.waitFor(2));
  std::vector<std::string> texts;
  for (const auto& outcome : outcomes.all()) {
    texts.push_back(textOf(outcome));
  }
  std::sort(texts.begin(), texts.end());
  EXPECT_TRUE(texts[0].starts_with("error: Failed to connect to 127.0.0.1 port")) << texts[0];
  EXPECT_TRUE(texts[0].ends_with("Couldn't connect to server")) << texts[0];
  EXPECT_TRUE(texts[1].starts_with("error: Operation timed out after")) << texts[1];
}

TEST(CurlHttpClient, RefusesABodyOverTheLimit) {
  const LocalHttpServer server(LocalHttpServer::always(Reply{.status = 200, .body = "0123456789"}));
  for (const auto& [limit, expected] : std::vector<std::pair<std::size_t, std::string>>{
           {10, "200 0123456789"}, {9, "error: response body larger than 9 bytes"}}) {
    SCOPED_TRACE(limit);
    Outcomes outcomes;
    CurlHttpClient client;
    client.get({.url = server.url("/"), .headers = {}, .timeout = 10s, .maxBodyBytes = limit},
               outcomes.completion());
    EXPECT_EQ(textOf(outcomes.only()), expected);
  }
}

TEST(CurlHttpClient, TakesProxiesFromTheEnvironment) {
  const LocalHttpServer server([](const LocalHttpServer::Request& request) {
    return Reply{.status = 200, .body = request.target};
  });
  std::string unusedURL;
  {
    const LocalHttpServer gone(LocalHttpServer::always(Reply{}));
    unusedURL = gone.url("");
  }
  // The proxy gets the absolute URL and the client never looks the site's name up itself.
  {
    const testing::ScopedEnvironment environment(
        {{"http_proxy", server.url("")}, {"no_proxy", std::nullopt}, {"NO_PROXY", std::nullopt}});
    Outcomes outcomes;
    CurlHttpClient client;
    client.get(requestFor("http://game.quillfern.example/ruffle-hosts.json"),
               outcomes.completion());
    EXPECT_EQ(textOf(outcomes.only()), "200 http://game.quillfern.example/ruffle-hosts.json");
  }
  // no_proxy sends the request past a proxy that would refuse it.
  {
    const testing::ScopedEnvironment environment(
        {{"http_proxy", unusedURL}, {"no_proxy", "127.0.0.1"}, {"NO_PROXY", std::nullopt}});
    Outcomes outcomes;
    CurlHttpClient client;
    client.get(requestFor(server.url("/direct")), outcomes.completion());
    EXPECT_EQ(textOf(outcomes.only()), "200 /direct");
  }
}

TEST(CurlHttpClient, ManyRequestsEachCompleteOnce) {
  const LocalHttpServer server([](const LocalHttpServer::Request& request) {
    return Reply{.status = 200, .body = request.target};
  });
  constexpr int count = 40;
  Outcomes outcomes;
  CurlHttpClient client;
  for (int i = 0; i < count; ++i) {
    client.get(requestFor(server.url("/" + std::to_string(i))), outcomes.completion());
  }
  ASSERT_TRUE(outcomes.waitFor(count));
  std::vector<std::string> bodies;
  for (const auto& outcome : outcomes.all()) {
    bodies.push_back(textOf(outcome));
  }
  std::sort(bodies.begin(), bodies.end());
  EXPECT_EQ(std::unique(bodies.begin(), bodies.end()), bodies.end());
  EXPECT_EQ(bodies.size(), static_cast<std::size_t>(count));
}

// Waits until nothing but the test holds token, i.e. the completion that captured it is gone.
bool waitUntilReleased(const std::shared_ptr<int>& token) {
  for (int i = 0; i < 1000 && token.use_count() > 1; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  return token.use_count() == 1;
}

TEST(CurlHttpClientLifetime, DestroyedWithARequestInFlightItDropsTheCompletion) {
  const LocalHttpServer silent(LocalHttpServer::always(Reply{.hold = true}));
  const auto token = std::make_shared<int>(0);
  bool ran = false;
  {
    CurlHttpClient client;
    client.get(requestFor(silent.url("/")),
               [token, &ran](const HttpClient::Outcome&) { ran = true; });
    ASSERT_TRUE(silent.waitForRequests(1, 10s));
  }
  EXPECT_FALSE(ran);
  EXPECT_EQ(token.use_count(), 1);  // the destructor has freed the completion
}

TEST(CurlHttpClientLifetime, ReleasedFromItsOwnCompletionItStopsCleanly) {
  const LocalHttpServer server([](const LocalHttpServer::Request& request) {
    return Reply{.status = 200, .body = "", .headers = {}, .hold = request.target == "/held"};
  });
  auto owner =
      std::make_shared<std::shared_ptr<CurlHttpClient>>(std::make_shared<CurlHttpClient>());
  const auto token = std::make_shared<int>(0);
  std::atomic<bool> heldRan = false;
  std::atomic<bool> released = false;
  CurlHttpClient& client = **owner;
  client.get(requestFor(server.url("/held")),
             [token, &heldRan](const HttpClient::Outcome&) { heldRan = true; });
  ASSERT_TRUE(server.waitForRequests(1, 10s));
  client.get(requestFor(server.url("/now")), [owner, &released](const HttpClient::Outcome&) {
    owner->reset();  // the last owner: the client is destroyed on its own thread
    released = true;
  });
  owner.reset();
  ASSERT_TRUE(waitUntilReleased(token));
  EXPECT_TRUE(released);
  EXPECT_FALSE(heldRan);
}

}  // namespace
}  // namespace quillfern
