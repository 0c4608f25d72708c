#include "policy/AllowlistDocument.hpp"

#include <nlohmann/json.hpp>

namespace quillfern {

namespace {

// The decoder quotes the token it stopped in, which can be most of a large body; the log line
// keeps only the start of it.
constexpr std::size_t maxDescriptionBytes = 300;

std::string shortened(std::string text) {
  if (text.size() <= maxDescriptionBytes) {
    return text;
  }
  std::size_t end = maxDescriptionBytes;
  // Back up to the first byte of a UTF-8 sequence, so the cut never splits a character.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0U) == 0x80U) {
    --end;
  }
  text.resize(end);
  return text + "…";
}

}  // namespace

boost::system::result<std::vector<std::string>, std::string> decodeAllowlistDocument(
    std::string_view body) {
  try {
    // get<> refuses a top-level value that is not an array and any element that is not a
    // string (a number, null, an object or a nested array), naming what it found instead.
    return nlohmann::json::parse(body).get<std::vector<std::string>>();
  } catch (const nlohmann::json::exception& e) {
    return shortened(e.what());
  }
}

}  // namespace quillfern
