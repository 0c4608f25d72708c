// The set of host:port targets the bridge may connect to: built-in entries, replaced by the
// cached list at construction and by the online list on each successful refresh. Shared by the
// controller, the bridge and every session (std::shared_ptr); safe from any thread.
#pragma once

#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include <cstdint>

namespace quillfern {

class DefaultsStore;
class HttpClient;

class HostAllowlist : public std::enable_shared_from_this<HostAllowlist> {
public:
  // The key under which the allowlist is cached in the settings.
  static constexpr std::string_view cacheKey = "mobile_bridge.allowed_hosts";

  // Starts from the built-in entries, then the cached list when it yields any entry. The store
  // is kept for the refresh's write; http may be null when no refresh will be made.
  HostAllowlist(std::shared_ptr<DefaultsStore> defaults, std::shared_ptr<HttpClient> http);
  HostAllowlist(const HostAllowlist&) = delete;
  HostAllowlist& operator=(const HostAllowlist&) = delete;
  HostAllowlist(HostAllowlist&&) = delete;
  HostAllowlist& operator=(HostAllowlist&&) = delete;
  ~HostAllowlist() = default;

  // The five built-in keys, already in key form.
  [[nodiscard]] static const std::unordered_set<std::string>& defaults();

  // Normalises an outside list into keys; invalid entries are dropped one by one.
  [[nodiscard]] static std::unordered_set<std::string> parse(std::span<const std::string> list);

  [[nodiscard]] bool allows(std::string_view host, std::uint16_t port) const;
  // A snapshot of the keys, sorted by plain byte order.
  [[nodiscard]] std::vector<std::string> sortedHosts() const;

  // Fetches the online list once and, on success, replaces the set and the cache. Returns at
  // once; the outcome is only logged. The allowlist must be owned by a std::shared_ptr.
  void refresh();

private:
  const std::shared_ptr<DefaultsStore> store;
  const std::shared_ptr<HttpClient> httpClient;
  mutable std::mutex lock;  // guards hosts: held for a membership test, a copy or an assignment
  std::unordered_set<std::string> hosts;

  void loadCached();
  void replaceHosts(std::unordered_set<std::string> newHosts);
};

}  // namespace quillfern
