#include "platform/CurlHttpClient.hpp"
#include "policy/HostAllowlist.hpp"
#include "support/LocalHttpServer.hpp"
#include "support/LogCapture.hpp"
#include "support/MemoryStore.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace quillfern {
namespace {

using namespace std::chrono_literals;
using testing::LocalHttpServer;
using Reply = LocalHttpServer::Reply;
using Keys = std::vector<std::string>;

const Keys builtIn{"192.0.2.10:1201", "192.0.2.10:1863", "192.0.2.10:1865", "192.0.2.10:1965",
                   "198.51.100.20:3001"};
const std::string failed = "[Quillfern][hosts] 在线更新失败，继续使用缓存/内置白名单：";

// Passes requests on to a real client and counts the completions that have returned, so a
// test can tell that a completion ran even when it had nothing to do.
class CountingClient final : public HttpClient {
public:
  void get(Request request, Completion completion) override {
    inner->get(std::move(request), [this, completion = std::move(completion)](Outcome outcome) {
      completion(std::move(outcome));
      {
        const std::scoped_lock guard(mutex);
        ++finished;
      }
      changed.notify_all();
    });
  }
  [[nodiscard]] bool waitForFinished(int count, std::chrono::milliseconds deadline) {
    std::unique_lock guard(mutex);
    return changed.wait_for(guard, deadline, [&] { return finished >= count; });
  }

private:
  std::mutex mutex;
  std::condition_variable changed;
  int finished = 0;
  // Last: destroyed first, which joins its thread before the members above go.
  std::unique_ptr<CurlHttpClient> inner = std::make_unique<CurlHttpClient>();
};

class HostAllowlistRefreshTest : public ::testing::Test {
protected:
  testing::LogCapture capture;
  std::shared_ptr<testing::MemoryStore> store = std::make_shared<testing::MemoryStore>();
  std::shared_ptr<CountingClient> client = std::make_shared<CountingClient>();

  std::shared_ptr<HostAllowlist> allowlistFor(const LocalHttpServer& server) {
    return std::make_shared<HostAllowlist>(store, client, server.url("/ruffle-hosts.json"));
  }
  // Refreshes against a server giving reply and returns the lines logged meanwhile.
  std::vector<std::string> refreshLines(HostAllowlist& allowlist) {
    capture.clear();
    allowlist.refresh();
    EXPECT_TRUE(client->waitForFinished(++refreshes, 20s));
    return capture.lines();
  }
  std::optional<Keys> cached() {
    const auto found = store->values.find(std::string(HostAllowlist::cacheKey));
    return found == store->values.end() ? std::nullopt : std::optional(found->second);
  }

private:
  int refreshes = 0;
};

TEST_F(HostAllowlistRefreshTest, SendsOneGetWithTheTwoHeadersInOrder) {
  const LocalHttpServer server(LocalHttpServer::always(Reply{.status = 200, .body = "[]"}));
  const auto allowlist = allowlistFor(server);
  static_cast<void>(refreshLines(*allowlist));
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1U);
  const auto& request = requests.front();
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.target, "/ruffle-hosts.json");
  EXPECT_EQ(request.headers,
            (LocalHttpServer::Headers{{"Host", "127.0.0.1:" + std::to_string(server.port())},
                                      {"Accept", "application/json"},
                                      {"User-Agent", "WrenMobile-iOS/0.1"}}));
}

TEST_F(HostAllowlistRefreshTest, SuccessReplacesTheSetAndTheNextStartUsesTheCache) {
  const LocalHttpServer server(LocalHttpServer::always(
      Reply{.status = 200, .body = R"([" \tGame.Example:01863 \n", "game.example:1863"])"}));
  const auto allowlist = allowlistFor(server);
  EXPECT_EQ(refreshLines(*allowlist), Keys{"[Quillfern][hosts] 在线白名单已更新，共 1 条"});
  EXPECT_EQ(cached(), Keys{"game.example:1863"});
  EXPECT_TRUE(allowlist->allows("game.example", 1863));
  EXPECT_FALSE(allowlist->allows("192.0.2.10", 1863));  // built-in, but not in the new list

  capture.clear();
  const HostAllowlist nextStart(store, nullptr);
  EXPECT_EQ(nextStart.sortedHosts(), Keys{"game.example:1863"});
  EXPECT_EQ(capture.lines(), Keys{"[Quillfern][hosts] 已载入缓存白名单，共 1 条"});
}

TEST_F(HostAllowlistRefreshTest, TheCacheIsWrittenSortedByteForByte) {
  const LocalHttpServer server(LocalHttpServer::always(Reply{
      .status = 299,  // the last status that counts as success
      .body =
          R"(["b.example:2", "A.example:10", "a.example:9", "a.example:1", "bad", "a.example:09"])"}));
  const auto allowlist = allowlistFor(server);
  EXPECT_EQ(refreshLines(*allowlist), Keys{"[Quillfern][hosts] 在线白名单已更新，共 4 条"});
  EXPECT_EQ(cached(), (Keys{"a.example:1", "a.example:10", "a.example:9", "b.example:2"}));
  EXPECT_EQ(allowlist->sortedHosts(), cached());
}

TEST_F(HostAllowlistRefreshTest, FailuresKeepTheSetAndTheCacheAndSayWhy) {
  const std::string valid = R"(["game.example:1863"])";
  struct Case {
    int status;
    std::string body, reason;
  };
  for (const Case& c : {
           Case{200, "[]", "白名单为空"},
           Case{200, R"(["game.example", ":80", "game.example:0"])", "白名单为空"},
           Case{200, R"(["game.example:1863", 5])",
                "[json.exception.type_error.302] type must be string, but is number"},
           Case{200, R"(["game.example:1863", null])",
                "[json.exception.type_error.302] type must be string, but is null"},
           Case{200, R"([["game.example:1863"]])",
                "[json.exception.type_error.302] type must be string, but is array"},
           Case{200, R"([{"host": "game.example:1863"}])",
                "[json.exception.type_error.302] type must be string, but is object"},
           Case{200, R"({"hosts": ["game.example:1863"]})",
                "[json.exception.type_error.302] type must be array, but is object"},
           Case{200, R"("game.example:1863")",
                "[json.exception.type_error.302] type must be array, but is string"},
           Case{200, "",  // present but empty: a decoding error, not an invalid response
                "[json.exception.parse_error.101] parse error at line 1, column 1: syntax error "
                "while parsing value - unexpected end of input; expected '[', '{', or a literal"},
           Case{200, R"(["game.example:1863"] [])",
                "[json.exception.parse_error.101] parse error at line 1, column 23: syntax error "
                "while parsing value - unexpected '['; expected end of input"},
           Case{304, valid, "服务器响应无效"},
           Case{404, valid, "服务器响应无效"},
           Case{500, valid, "服务器响应无效"},
           Case{300, valid, "服务器响应无效"},
       }) {
    SCOPED_TRACE(std::to_string(c.status) + " " + c.body);
    store->values[std::string(HostAllowlist::cacheKey)] = {"cached.example:1"};
    store->writes = 0;
    const LocalHttpServer server(
        LocalHttpServer::always(Reply{.status = c.status, .body = c.body}));
    const auto allowlist = allowlistFor(server);
    EXPECT_EQ(refreshLines(*allowlist), Keys{failed + c.reason});
    EXPECT_EQ(allowlist->sortedHosts(), Keys{"cached.example:1"});
    EXPECT_EQ(store->writes, 0);
  }
}

TEST_F(HostAllowlistRefreshTest, ALongDecodingErrorIsCutShort) {
  const std::string body = "[\"" + std::string(100'000, 'x') + "\x01\"]";
  const LocalHttpServer server(LocalHttpServer::always(Reply{.status = 200, .body = body}));
  const auto allowlist = allowlistFor(server);
  const auto lines = refreshLines(*allowlist);
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_TRUE(lines[0].starts_with(failed + "[json.exception.parse_error.101]")) << lines[0];
  EXPECT_TRUE(lines[0].ends_with("xxx…")) << lines[0];
  EXPECT_LT(lines[0].size(), 500U);
}

TEST_F(HostAllowlistRefreshTest, AFailedCacheWriteIsLoggedAndTheNewSetStillHolds) {
  store->failWrites = true;
  const LocalHttpServer server(
      LocalHttpServer::always(Reply{.status = 200, .body = R"(["game.example:1863"])"}));
  const auto allowlist = allowlistFor(server);
  EXPECT_EQ(refreshLines(*allowlist),
            (Keys{"[Quillfern][hosts] 缓存白名单写入失败：Input/output error",
                  "[Quillfern][hosts] 在线白名单已更新，共 1 条"}));
  EXPECT_EQ(allowlist->sortedHosts(), Keys{"game.example:1863"});
}

TEST_F(HostAllowlistRefreshTest, ASilentServerTimesOutAfterEightSeconds) {
  const LocalHttpServer silent(LocalHttpServer::always(Reply{.hold = true}));
  const auto allowlist = allowlistFor(silent);
  const auto start = std::chrono::steady_clock::now();
  const auto lines = refreshLines(*allowlist);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_TRUE(lines[0].starts_with(failed + "Operation timed out after ")) << lines[0];
  EXPECT_TRUE(lines[0].ends_with(" milliseconds with 0 bytes received")) << lines[0];
  EXPECT_GE(elapsed, 7500ms);  // the time-out is 8 s, never less; the upper bound is the wait
  EXPECT_EQ(allowlist->sortedHosts(), builtIn);
}

TEST_F(HostAllowlistRefreshTest, AnAllowlistReleasedBeforeTheAnswerIsLeftAlone) {
  LocalHttpServer server(LocalHttpServer::always(
      Reply{.status = 200, .body = R"(["game.example:1863"])", .hold = true}));
  auto allowlist = allowlistFor(server);
  const std::weak_ptr<HostAllowlist> watched = allowlist;
  allowlist->refresh();
  ASSERT_TRUE(server.waitForRequests(1, 10s));
  allowlist.reset();
  EXPECT_TRUE(watched.expired());  // the pending refresh does not keep it alive
  server.releaseHeld();
  ASSERT_TRUE(client->waitForFinished(1, 10s));
  EXPECT_TRUE(capture.lines().empty());
  EXPECT_EQ(store->writes, 0);
}

TEST_F(HostAllowlistRefreshTest, LookupsDuringARefreshSeeOneWholeSetOrTheOther) {
  const LocalHttpServer server(
      LocalHttpServer::always(Reply{.status = 200, .body = R"(["b:2", "a:1"])"}));
  const auto allowlist = allowlistFor(server);
  allowlist->refresh();
  const Keys online{"a:1", "b:2"};
  bool sawOnline = false;
  const auto end = std::chrono::steady_clock::now() + 20s;
  for (int i = 0; i < 1'000'000 && !sawOnline && std::chrono::steady_clock::now() < end; ++i) {
    const Keys seen = allowlist->sortedHosts();
    ASSERT_TRUE(seen == builtIn || seen == online) << i;
    sawOnline = seen == online && allowlist->allows("A", 1);
  }
  EXPECT_TRUE(sawOnline);
  EXPECT_TRUE(client->waitForFinished(1, 10s));
}

}  // namespace
}  // namespace quillfern
