#include "app/LoopbackProxyExemption.hpp"

#include <boost/algorithm/string/predicate.hpp>

#include <array>
#include <cstdlib>
#include <string>
#include <string_view>

namespace quillfern {

namespace {

constexpr std::array<std::string_view, 3> loopbackNames = {"127.0.0.1", "localhost", "::1"};

[[nodiscard]] std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

[[nodiscard]] bool listed(std::string_view list, std::string_view name) {
  while (!list.empty()) {
    const auto comma = list.find(',');
    if (boost::algorithm::iequals(trimmed(list.substr(0, comma)), name)) {
      return true;
    }
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
  }
  return false;
}

[[nodiscard]] std::string withLoopbackExempt(std::string_view list) {
  std::string result(trimmed(list));
  for (const std::string_view name : loopbackNames) {
    if (!listed(result, name)) {
      if (!result.empty() && result.back() != ',') {
        result += ',';
      }
      result += name;
    }
  }
  return result;
}

}  // namespace

void exemptLoopbackFromProxies() {
  // Runs before any other thread exists, so reading and changing the environment is safe here.
  const char* lower = std::getenv("no_proxy");  // NOLINT(concurrency-mt-unsafe)
  const char* upper = std::getenv("NO_PROXY");  // NOLINT(concurrency-mt-unsafe)
  // Programs differ in which spelling they read first, so each one that is set keeps its own
  // entries; with neither set, both are.
  const std::string newLower = withLoopbackExempt(lower != nullptr ? lower : "");
  const std::string newUpper = withLoopbackExempt(upper != nullptr ? upper : "");
  if (lower != nullptr || upper == nullptr) {
    ::setenv("no_proxy", newLower.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
  }
  if (upper != nullptr || lower == nullptr) {
    ::setenv("NO_PROXY", newUpper.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
  }
}

}  // namespace quillfern
