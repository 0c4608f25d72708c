// Boost.URL's URI parser with a guard where the library reads more than RFC 3986 allows. Every
// decision the site policy and the navigation policy take from a URL goes through it. Pure;
// safe from any thread.
#pragma once

#include <boost/url/url_view.hpp>

#include <optional>
#include <string_view>

namespace quillfern {

// False for what the library parses although it is not a URL: an authority followed by a path
// that neither is empty nor begins with "/".
[[nodiscard]] bool isStrictURL(const boost::urls::url_view& url);

// An absolute URI (scheme first) that passes isStrictURL(), viewing text; nothing otherwise.
[[nodiscard]] std::optional<boost::urls::url_view> parseStrictURI(std::string_view text);

}  // namespace quillfern
