// Decoding of the online allowlist document: a JSON text whose top-level value is an array
// made only of strings. Pure; safe from any thread.
#pragma once

#include <boost/system/result.hpp>

#include <string>
#include <string_view>
#include <vector>

namespace quillfern {

// The document's strings in order, or the decoder's description of what is wrong with it (in
// JSON for Modern C++'s words, cut short where it would quote a long stretch of the body).
// The entries are not normalised here.
[[nodiscard]] boost::system::result<std::vector<std::string>, std::string> decodeAllowlistDocument(
    std::string_view body);

}  // namespace quillfern
