#include "platform/CurlHttpClient.hpp"

#include "support/LocalHttpServer.hpp"
#include "support/ScopedEnvironment.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace quillfern {
namespace {

using namespace std::chrono_literals;
using testing::LocalHttpServer;
using Reply = LocalHttpServer::Reply;

// The outcomes of the completions it hands out, as "<status> <body>" or "error: <text>", with
// the thread each ran on. It must outlive the client.
class Outcomes {
public:
  HttpClient::Completion completion() {
    return [this](const HttpClient::Outcome& outcome) {
      {
        const std::scoped_lock guard(mutex);
        texts.push_back(outcome.response ? std::to_string(outcome.response->status) + " "
                                               + outcome.response->body.value_or("(no body)")
                                         : "error: " + outcome.error);
        threads.push_back(std::this_thread::get_id());
      }
      changed.notify_all();
    };
  }
  // Waits for count outcomes and returns them all, sorted.
  std::vector<std::string> wait(std::size_t count = 1) {
    std::unique_lock guard(mutex);
    EXPECT_TRUE(changed.wait_for(guard, 10s, [&] { return texts.size() >= count; }));
    std::vector<std::string> sorted = texts;
    std::sort(sorted.begin(), sorted.end());
    return sorted;
  }
  std::vector<std::thread::id> threads;

private:
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> texts;
};

HttpClient::Request requestFor(std::string url) {
  return {.url = std::move(url), .headers = {}, .timeout = 10s};
}

// One request's outcome.
std::string fetch(HttpClient::Request request) {
  Outcomes outcomes;
  CurlHttpClient client;
  client.get(std::move(request), outcomes.completion());
  return outcomes.wait().at(0);
}

TEST(CurlHttpClient, RedirectsSchemesStatusesAndTheBodyLimit) {
  const auto to = [](std::string where, int status = 302) {
    return Reply{.status = status, .body = "", .headers = {{"Location", std::move(where)}}};
  };
  const std::map<std::string, Reply> redirects{{"/a", to("/b")},
                                               {"/b", to("c", 307)},
                                               {"/loop", to("/loop")},
                                               {"/file", to("file:///etc/hostname")}};
  const LocalHttpServer server([&](const LocalHttpServer::Request& request) {
    const auto found = redirects.find(request.target);
    return found != redirects.end() ? found->second
                                    : Reply{.status = request.target == "/c" ? 200 : 404,
                                            .body = "at " + request.target};
  });
  const std::string noFile = "error: Protocol \"file\" not supported or disabled in libcurl";
  struct Case {
    std::string url, expected;
    std::size_t maxBodyBytes = 1000;
  };
  for (const Case& c : {
           Case{server.url("/a"), "200 at /c"},
           Case{server.url("/a"), "200 at /c", 5},  // exactly the limit
           Case{server.url("/a"), "error: response body larger than 4 bytes", 4},
           Case{server.url("/gone"), "404 at /gone"},  // every status is passed on
           Case{server.url("/loop"), "error: Maximum (20) redirects followed"},
           Case{server.url("/file"), noFile},
           Case{"file:///etc/hostname", noFile},
       }) {
    SCOPED_TRACE(c.url + " " + std::to_string(c.maxBodyBytes));
    EXPECT_EQ(fetch({.url = c.url, .headers = {}, .timeout = 10s, .maxBodyBytes = c.maxBodyBytes}),
              c.expected);
  }
}

TEST(CurlHttpClient, ASilentServerTimesOut) {
  const LocalHttpServer silent([](const auto&) { return Reply{.hold = true}; });
  const std::string outcome = fetch({.url = silent.url("/"), .headers = {}, .timeout = 300ms});
  EXPECT_TRUE(outcome.starts_with("error: Operation timed out after")) << outcome;
}

// The proxy gets the absolute URL, and the client never looks the site's name up itself.
TEST(CurlHttpClient, TakesTheProxyFromTheEnvironment) {
  const LocalHttpServer proxy([](const LocalHttpServer::Request& request) {
    return Reply{.status = 200, .body = request.target};
  });
  const testing::ScopedEnvironment environment(
      {{"http_proxy", proxy.url("")}, {"no_proxy", std::nullopt}, {"NO_PROXY", std::nullopt}});
  EXPECT_EQ(fetch(requestFor("http://game.quillfern.example/ruffle-hosts.json")),
            "200 http://game.quillfern.example/ruffle-hosts.json");
}

// The order of the headers on the wire is checked by the allowlist refresh's round trip.
TEST(CurlHttpClient, ManyRequestsEachCompleteOnceOnTheClientsThread) {
  const LocalHttpServer server([](const LocalHttpServer::Request& request) {
    return Reply{.status = 200, .body = request.target};
  });
  Outcomes outcomes;
  CurlHttpClient client;
  std::vector<std::string> expected;
  for (int i = 10; i < 50; ++i) {
    client.get(requestFor(server.url("/" + std::to_string(i))), outcomes.completion());
    expected.push_back("200 /" + std::to_string(i));
  }
  EXPECT_EQ(outcomes.wait(expected.size()), expected);
  EXPECT_EQ(
      std::count(outcomes.threads.begin(), outcomes.threads.end(), std::this_thread::get_id()), 0);
}

// Tells when the last copy of the token it handed out is gone, with the completion that held it.
class Released {
public:
  std::shared_ptr<void> token() {
    return {nullptr, [this](void*) {
              gone.set_value();
            }};
  }
  bool wait(std::chrono::milliseconds deadline = 10s) {
    return done.wait_for(deadline) == std::future_status::ready;
  }

private:
  std::promise<void> gone;
  std::future<void> done = gone.get_future();
};

TEST(CurlHttpClientLifetime, DestroyedWithARequestInFlightItDropsTheCompletion) {
  const LocalHttpServer silent([](const auto&) { return Reply{.hold = true}; });
  Released released;
  bool ran = false;
  {
    CurlHttpClient client;
    client.get(requestFor(silent.url("/")),
               [token = released.token(), &ran](const HttpClient::Outcome&) { ran = true; });
    ASSERT_TRUE(silent.waitForRequests(1));
  }
  EXPECT_TRUE(released.wait(0ms));  // by the time the destructor returned
  EXPECT_FALSE(ran);
}

TEST(CurlHttpClientLifetime, ReleasedFromItsOwnCompletionItStopsCleanly) {
  const LocalHttpServer server([](const LocalHttpServer::Request& request) {
    return Reply{.status = 200, .body = "", .headers = {}, .hold = request.target == "/held"};
  });
  auto owner =
      std::make_shared<std::shared_ptr<CurlHttpClient>>(std::make_shared<CurlHttpClient>());
  Released released;
  std::atomic<bool> heldRan = false;
  CurlHttpClient& client = **owner;
  client.get(requestFor(server.url("/held")),
             [token = released.token(), &heldRan](const HttpClient::Outcome&) { heldRan = true; });
  ASSERT_TRUE(server.waitForRequests(1));
  client.get(requestFor(server.url("/now")), [owner](const HttpClient::Outcome&) {
    owner->reset();  // the last owner: the client is destroyed on its own thread
  });
  owner.reset();
  EXPECT_TRUE(released.wait());
  EXPECT_FALSE(heldRan);
}

}  // namespace
}  // namespace quillfern
