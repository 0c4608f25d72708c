#include "platform/CurlHttpClient.hpp"
#include "policy/HostAllowlist.hpp"
#include "support/FakeHttpClient.hpp"
#include "support/LocalHttpServer.hpp"
#include "support/LogCapture.hpp"
#include "support/MemoryStore.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace quillfern {
namespace {

using namespace std::chrono_literals;
using Keys = std::vector<std::string>;

const std::string updated = "[Quillfern][hosts] 在线白名单已更新，共 ";
const std::string failed = "[Quillfern][hosts] 在线更新失败，继续使用缓存/内置白名单：";

class HostAllowlistRefreshTest : public ::testing::Test {
protected:
  testing::LogCapture capture;
  std::shared_ptr<testing::MemoryStore> store = std::make_shared<testing::MemoryStore>();
  std::shared_ptr<testing::FakeHttpClient> http = std::make_shared<testing::FakeHttpClient>();

  std::optional<Keys> cached() const { return store->stringArray(HostAllowlist::cacheKey); }
  // Refreshes, answers with status and body, and returns the lines logged meanwhile.
  Keys refreshLines(HostAllowlist& allowlist, long status, std::string body) {
    capture.clear();
    allowlist.refresh();
    http->answer(status, std::move(body));
    return capture.lines();
  }
};

// Over libcurl and the wire once: the request, and a success that replaces the set and the
// cache, which the next start then uses.
TEST_F(HostAllowlistRefreshTest, ARealRoundTripReplacesTheSetAndTheCache) {
  const testing::LocalHttpServer server([](const auto&) {
    return testing::LocalHttpServer::Reply{
        .status = 200, .body = R"([" \tGame.Example:01863 \n", "game.example:1863"])"};
  });
  const auto allowlist = std::make_shared<HostAllowlist>(store, std::make_shared<CurlHttpClient>(),
                                                         server.url("/ruffle-hosts.json"));
  allowlist->refresh();
  ASSERT_TRUE(capture.waitFor(updated + "1 条", 20s));
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1U);
  EXPECT_EQ(requests[0].head, "GET /ruffle-hosts.json HTTP/1.1\r\nHost: 127.0.0.1:"
                                 + std::to_string(server.port())
                                 + "\r\nAccept: application/json\r\n"
                                   "User-Agent: WrenMobile-iOS/0.1\r\n\r\n");
  EXPECT_EQ(cached(), Keys{"game.example:1863"});
  EXPECT_TRUE(allowlist->allows("game.example", 1863));
  EXPECT_FALSE(allowlist->allows("192.0.2.10", 1863));  // built-in, but not in the new list

  capture.clear();
  const HostAllowlist nextStart(store, nullptr);
  EXPECT_EQ(nextStart.sortedHosts(), Keys{"game.example:1863"});
  EXPECT_EQ(capture.lines(), Keys{"[Quillfern][hosts] 已载入缓存白名单，共 1 条"});
}

// One request within eight seconds, past any cache; the answer is cached sorted byte for byte.
TEST_F(HostAllowlistRefreshTest, TheCacheIsWrittenSortedByteForByte) {
  const auto allowlist = std::make_shared<HostAllowlist>(store, http);
  EXPECT_EQ(refreshLines(*allowlist, 299,  // the last status that counts as success
                         R"(["b.example:2", "A.example:10", "a.example:9", "a.example:1", "bad"])"),
            Keys{updated + "4 条"});
  ASSERT_EQ(http->requests.size(), 1U);
  EXPECT_EQ(http->requests[0].timeout, 8s);
  EXPECT_TRUE(http->requests[0].ignoreLocalCache);
  EXPECT_EQ(cached(), (Keys{"a.example:1", "a.example:10", "a.example:9", "b.example:2"}));
  EXPECT_EQ(allowlist->sortedHosts(), cached());
}

TEST_F(HostAllowlistRefreshTest, FailuresKeepTheSetAndTheCacheAndSayWhy) {
  const std::string valid = R"(["game.example:1863"])";
  struct Case {
    long status;
    std::string body, reason;
  };
  for (const Case& c : {
           Case{200, "[]", "白名单为空"},
           Case{200, R"(["game.example", ":80", "game.example:0"])", "白名单为空"},
           Case{200, R"(["game.example:1863", 5])",
                "[json.exception.type_error.302] type must be string, but is number"},
           Case{200, R"({"hosts": ["game.example:1863"]})",
                "[json.exception.type_error.302] type must be array, but is object"},
           Case{200, "",  // present but empty: a decoding error, not an invalid response
                "[json.exception.parse_error.101] parse error at line 1, column 1: syntax error "
                "while parsing value - unexpected end of input; expected '[', '{', or a literal"},
           Case{199, valid, "服务器响应无效"}, Case{300, valid, "服务器响应无效"},
           Case{404, valid, "服务器响应无效"},
           Case{0, "", "Could not resolve proxy: proxy.example"},  // in libcurl's words
       }) {
    SCOPED_TRACE(std::to_string(c.status) + " " + c.body);
    store->values[std::string(HostAllowlist::cacheKey)] = {"cached.example:1"};
    store->writes = 0;
    const auto allowlist = std::make_shared<HostAllowlist>(store, http);
    capture.clear();
    allowlist->refresh();
    if (c.status == 0) {
      http->fail(c.reason);
    } else {
      http->answer(c.status, c.body);
    }
    EXPECT_EQ(capture.lines(), Keys{failed + c.reason});
    EXPECT_EQ(allowlist->sortedHosts(), Keys{"cached.example:1"});
    EXPECT_EQ(store->writes, 0);
  }
}

TEST_F(HostAllowlistRefreshTest, ALongDecodingErrorIsCutShort) {
  const auto allowlist = std::make_shared<HostAllowlist>(store, http);
  const auto lines = refreshLines(*allowlist, 200, "[\"" + std::string(100'000, 'x') + "\x01\"]");
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_TRUE(lines[0].starts_with(failed + "[json.exception.parse_error.101]")) << lines[0];
  EXPECT_TRUE(lines[0].ends_with("xxx…")) << lines[0];
  EXPECT_LT(lines[0].size(), 500U);
}

TEST_F(HostAllowlistRefreshTest, AFailedCacheWriteIsLoggedAndTheNewSetStillHolds) {
  store->failWrites = true;
  const auto allowlist = std::make_shared<HostAllowlist>(store, http);
  EXPECT_EQ(refreshLines(*allowlist, 200, R"(["game.example:1863"])"),
            (Keys{"[Quillfern][hosts] 缓存白名单写入失败：Input/output error", updated + "1 条"}));
  EXPECT_EQ(allowlist->sortedHosts(), Keys{"game.example:1863"});
}

TEST_F(HostAllowlistRefreshTest, AnAllowlistReleasedBeforeTheAnswerIsLeftAlone) {
  auto allowlist = std::make_shared<HostAllowlist>(store, http);
  const std::weak_ptr<HostAllowlist> watched = allowlist;
  allowlist->refresh();
  allowlist.reset();
  EXPECT_TRUE(watched.expired());  // the pending refresh does not keep it alive
  http->answer(200, R"(["game.example:1863"])");
  EXPECT_TRUE(capture.lines().empty());
  EXPECT_EQ(store->writes, 0);
}

TEST_F(HostAllowlistRefreshTest, LookupsDuringARefreshSeeOneWholeSetOrTheOther) {
  const auto allowlist = std::make_shared<HostAllowlist>(store, http);
  const Keys before = allowlist->sortedHosts();
  const Keys online{"a:1", "b:2"};
  allowlist->refresh();
  std::thread answer([&] { http->answer(200, R"(["b:2", "a:1"])"); });
  bool sawOnline = false;
  const auto end = std::chrono::steady_clock::now() + 20s;
  for (int i = 0; i < 1'000'000 && !sawOnline && std::chrono::steady_clock::now() < end; ++i) {
    const Keys seen = allowlist->sortedHosts();
    ASSERT_TRUE(seen == before || seen == online) << i;
    sawOnline = seen == online && allowlist->allows("A", 1);
  }
  answer.join();
  EXPECT_TRUE(sawOnline);
}

}  // namespace
}  // namespace quillfern
