// The set of host:port targets the bridge may connect to: built-in entries, replaced by the
// cached list at construction and by the online list on each successful refresh. Shared by the
// controller, the bridge and every session (std::shared_ptr); safe from any thread.
#pragma once

#include "platform/HttpClient.hpp"

#include <boost/system/error_code.hpp>
#include <boost/system/result.hpp>

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <vector>

namespace quillfern {

class DefaultsStore;

class HostAllowlist : public std::enable_shared_from_this<HostAllowlist> {
public:
  // The key under which the allowlist is cached in the settings.
  static constexpr std::string_view cacheKey = "mobile_bridge.allowed_hosts";

  // Starts from the built-in entries, then the cached list when it yields any entry. The store
  // is kept for the refresh's write; http may be null when no refresh will be made.
  HostAllowlist(std::shared_ptr<DefaultsStore> defaultsStore, std::shared_ptr<HttpClient> http);
  // The same, with the refresh fetching documentURL instead of BridgeConfig::hostsURL(). Only
  // tests use it, to point the refresh at a server of their own.
  HostAllowlist(std::shared_ptr<DefaultsStore> defaultsStore, std::shared_ptr<HttpClient> http,
                std::string documentURL);
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
  // once; the outcome is only logged, from the HTTP client's thread. The allowlist must be
  // owned by a std::shared_ptr; once it is released, an outstanding refresh does nothing.
  void refresh();

private:
  enum class AllowlistError { invalidResponse = 1, empty };
  friend boost::system::error_code make_error_code(AllowlistError e);

  const std::shared_ptr<DefaultsStore> store;
  const std::shared_ptr<HttpClient> httpClient;
  const std::string refreshURL;
  mutable std::mutex lock;  // guards hosts: held for a membership test, a copy or an assignment
  std::unordered_set<std::string> hosts;

  void loadCached();
  void replaceHosts(std::unordered_set<std::string> newHosts);

  void onRefreshed(const HttpClient::Outcome& outcome);
  // The keys of a fetched document, or the description of why the refresh failed.
  [[nodiscard]] static boost::system::result<std::unordered_set<std::string>, std::string>
  refreshedHosts(const HttpClient::Outcome& outcome);
};

}  // namespace quillfern

template <>
struct boost::system::is_error_code_enum<quillfern::HostAllowlist::AllowlistError>
    : std::true_type {};
