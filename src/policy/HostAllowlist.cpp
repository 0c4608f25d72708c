#include "policy/HostAllowlist.hpp"

#include "log/Log.hpp"
#include "platform/DefaultsStore.hpp"
#include "policy/AllowlistEntry.hpp"
#include "policy/BridgeConfig.hpp"
#include "policy/SiteConfig.hpp"
#include "policy/UnicodeText.hpp"

#include <algorithm>

namespace quillfern {

HostAllowlist::HostAllowlist(std::shared_ptr<DefaultsStore> defaultsStore,
                             std::shared_ptr<HttpClient> http)
    : HostAllowlist(std::move(defaultsStore), std::move(http),
                    std::string(BridgeConfig::hostsURL().buffer())) {}

HostAllowlist::HostAllowlist(std::shared_ptr<DefaultsStore> defaultsStore,
                             std::shared_ptr<HttpClient> http, std::string documentURL)
    : store(std::move(defaultsStore)),
      httpClient(std::move(http)),
      refreshURL(std::move(documentURL)),
      hosts(defaults()) {
  loadCached();
}

const std::unordered_set<std::string>& HostAllowlist::defaults() {
  static const std::unordered_set<std::string> builtIn = [] {
    const std::string a(site::serverAddressA);
    const std::string b(site::serverAddressB);
    return std::unordered_set<std::string>{a + ":1863", a + ":1201", a + ":1865", a + ":1965",
                                           b + ":3001"};
  }();
  return builtIn;
}

std::unordered_set<std::string> HostAllowlist::parse(std::span<const std::string> list) {
  std::unordered_set<std::string> keys;
  for (const std::string& entry : list) {
    if (auto key = allowlistKey(entry)) {
      keys.insert(std::move(*key));
    }
  }
  return keys;
}

// Runs only from the constructor, before the object is shared, so it takes no lock.
void HostAllowlist::loadCached() {
  if (!store) {
    return;
  }
  const auto cached = store->stringArray(cacheKey);
  if (!cached) {
    return;
  }
  auto keys = parse(*cached);
  if (keys.empty()) {
    return;
  }
  hosts = std::move(keys);
  log(LogTag::hosts, "已载入缓存白名单，共 " + std::to_string(hosts.size()) + " 条");
}

bool HostAllowlist::allows(std::string_view host, std::uint16_t port) const {
  const std::string key = lowercased(host) + ":" + std::to_string(port);
  const std::scoped_lock guard(lock);
  return hosts.contains(key);
}

std::vector<std::string> HostAllowlist::sortedHosts() const {
  std::unordered_set<std::string> copy;
  {
    const std::scoped_lock guard(lock);
    copy = hosts;
  }
  std::vector<std::string> sorted(copy.begin(), copy.end());
  std::sort(sorted.begin(), sorted.end());
  return sorted;
}

void HostAllowlist::replaceHosts(std::unordered_set<std::string> newHosts) {
  const std::scoped_lock guard(lock);
  hosts = std::move(newHosts);
}

}  // namespace quillfern
