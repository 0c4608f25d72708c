#include "log/Log.hpp"
#include "platform/DefaultsStore.hpp"
#include "policy/AllowlistDocument.hpp"
#include "policy/HostAllowlist.hpp"

#include <algorithm>
#include <cassert>
#include <chrono>

namespace quillfern {

namespace {

constexpr std::chrono::seconds refreshTimeout{8};

// Boost's error_category has a protected, non-virtual destructor by design: categories are
// never deleted through a base pointer.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
class AllowlistErrorCategory final : public boost::system::error_category {
public:
  [[nodiscard]] const char* name() const noexcept override { return "quillfern.allowlist"; }
  [[nodiscard]] std::string message(int value) const override {
    switch (value) {  // the values of AllowlistError
      case 1:
        return "服务器响应无效";
      case 2:
        return "白名单为空";
      default:
        return "未知错误";
    }
  }
};
#pragma GCC diagnostic pop

}  // namespace

boost::system::error_code make_error_code(HostAllowlist::AllowlistError e) {
  static const AllowlistErrorCategory category;
  return {static_cast<int>(e), category};
}

void HostAllowlist::refresh() {
  assert(httpClient != nullptr);
  if (!httpClient) {
    return;
  }
  HttpClient::Request request{
      .url = refreshURL,
      .headers = {{"Accept", "application/json"}, {"User-Agent", "WrenMobile-iOS/0.1"}},
      .timeout = refreshTimeout,
      .ignoreLocalCache = true,
  };
  auto completion = [weak = weak_from_this()](const HttpClient::Outcome& outcome) {
    if (const auto self = weak.lock()) {
      self->onRefreshed(outcome);
    }
  };
  httpClient->get(std::move(request), std::move(completion));
}

boost::system::result<std::unordered_set<std::string>, std::string> HostAllowlist::refreshedHosts(
    const HttpClient::Outcome& outcome) {
  if (!outcome.response) {
    return outcome.error.empty() ? make_error_code(AllowlistError::invalidResponse).message()
                                 : outcome.error;
  }
  const HttpClient::Response& response = *outcome.response;
  // An empty body is still a body: it goes on to the decoder and fails there.
  if (response.status < 200 || response.status > 299 || !response.body) {
    return make_error_code(AllowlistError::invalidResponse).message();
  }
  auto entries = decodeAllowlistDocument(*response.body);
  if (!entries) {
    return entries.error();
  }
  auto keys = parse(*entries);
  if (keys.empty()) {
    return make_error_code(AllowlistError::empty).message();
  }
  return keys;
}

// Runs on the HTTP client's thread, concurrently with the sessions' lookups; only the
// assignment takes the lock.
void HostAllowlist::onRefreshed(const HttpClient::Outcome& outcome) {
  auto keys = refreshedHosts(outcome);
  if (!keys) {
    log(LogTag::hosts, "在线更新失败，继续使用缓存/内置白名单：" + keys.error());
    return;
  }
  std::vector<std::string> sorted(keys->begin(), keys->end());
  replaceHosts(std::move(*keys));
  std::sort(sorted.begin(), sorted.end());
  if (store) {
    if (const auto error = store->setStringArray(cacheKey, sorted)) {
      // The new set is in force all the same; only the next start misses it.
      log(LogTag::hosts, "缓存白名单写入失败：" + error.message());
    }
  }
  log(LogTag::hosts, "在线白名单已更新，共 " + std::to_string(sorted.size()) + " 条");
}

}  // namespace quillfern
