#include "policy/StrictURL.hpp"

#include <boost/url/parse.hpp>

namespace quillfern {

bool isStrictURL(const boost::urls::url_view& url) {
  // Boost.URL 1.81 takes the longest host or port it can and hands the rest to the path: it
  // reads "http://127.0.0.1.evil.example" as host 127.0.0.1 with the path ".evil.example", and
  // "http://localhost:9882.evil.example" as port 9882 with the path ".evil.example". After an
  // authority, RFC 3986 (3.3) allows only a path that is empty or begins with "/", so such a
  // value is no URL at all. We keep the library and refuse its result here. A host that begins
  // with a dotted IPv4 address but goes on (1.2.3.4.example) is refused with it; neither the
  // site nor loopback has one.
  const auto path = url.encoded_path();
  return !url.has_authority() || path.empty() || path.starts_with('/');
}

std::optional<boost::urls::url_view> parseStrictURI(std::string_view text) {
  const auto parsed = boost::urls::parse_uri(text);
  if (!parsed || !isStrictURL(*parsed)) {
    return std::nullopt;
  }
  return *parsed;
}

}  // namespace quillfern
