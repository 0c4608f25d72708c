#include "bridge/Target.hpp"

#include "bridge/Utf8.hpp"
#include "policy/AllowlistEntry.hpp"
#include "policy/UnicodeText.hpp"

#include <boost/url/pct_string_view.hpp>

namespace quillfern {

std::string Target::text() const {
  return host + ":" + std::to_string(port);
}

std::optional<Target> parseTarget(std::string_view routePath) {
  // Exactly "/" host "/" port: three pieces split at "/", the first empty.
  if (!routePath.starts_with('/')) {
    return std::nullopt;
  }
  routePath.remove_prefix(1);
  const auto slash = routePath.find('/');
  if (slash == std::string_view::npos) {
    return std::nullopt;
  }
  const std::string_view hostPiece = routePath.substr(0, slash);
  const std::string_view portPiece = routePath.substr(slash + 1);
  if (hostPiece.empty() || portPiece.find('/') != std::string_view::npos) {
    return std::nullopt;
  }
  // Plain percent-decoding: a "+" stays a "+".
  const auto encoded = boost::urls::make_pct_string_view(hostPiece);
  if (!encoded) {
    return std::nullopt;
  }
  const std::string decoded = encoded->decode();
  if (!isValidUTF8(decoded)) {
    return std::nullopt;
  }
  // The port is not percent-decoded, and takes no "-" sign.
  const auto port = parseDecimalPort(portPiece, false);
  if (!port || *port == 0) {
    return std::nullopt;
  }
  std::string host = lowercased(trimSpaceAndNewlines(decoded));
  if (host.empty()) {
    return std::nullopt;
  }
  return Target{std::move(host), *port};
}

}  // namespace quillfern
