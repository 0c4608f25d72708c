#include "bridge/HttpRequest.hpp"

#include <algorithm>

namespace quillfern {

namespace {

constexpr std::string_view headTerminator = "\r\n\r\n";
constexpr std::string_view lineBreak = "\r\n";

// White space as header values are trimmed of: space, tab and the no-break space (U+00A0), the
// horizontal spaces that a byte read as ISO 8859-1 can be. Line breaks are not trimmed.
bool isHorizontalSpace(char c) {
  return c == ' ' || c == '\t' || c == '\xA0';
}

std::string_view trimHorizontalSpace(std::string_view text) {
  while (!text.empty() && isHorizontalSpace(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && isHorizontalSpace(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

// Each byte is one ISO 8859-1 character; bytes from 0x80 on take two bytes in UTF-8.
std::string utf8FromLatin1(std::string_view latin1) {
  std::string out;
  out.reserve(latin1.size());
  for (const char c : latin1) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      out += c;
    } else {
      out += static_cast<char>(0xC0 | (byte >> 6U));
      out += static_cast<char>(0x80 | (byte & 0x3FU));
    }
  }
  return out;
}

// ISO 8859-1 letters outside ASCII never lower-case into ASCII, so ASCII rules decide every
// name the bridge looks up.
std::string asciiLowercased(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return out;
}

// The next piece of the request line: runs of spaces separate like one space.
std::string_view nextPiece(std::string_view& line) {
  const auto begin = line.find_first_not_of(' ');
  if (begin == std::string_view::npos) {
    line = {};
    return {};
  }
  line.remove_prefix(begin);
  const auto end = std::min(line.find(' '), line.size());
  const std::string_view piece = line.substr(0, end);
  line.remove_prefix(end);
  return piece;
}

bool isGet(std::string_view method) {
  return method.size() == 3 && asciiLowercased(method) == "get";
}

boost::system::result<HTTPRequest> parseHead(std::string_view head) {
  std::string_view rest = head;
  const auto requestLineEnd = rest.find(lineBreak);
  std::string_view requestLine = rest.substr(0, requestLineEnd);
  rest.remove_prefix(requestLineEnd + lineBreak.size());
  const std::string_view method = nextPiece(requestLine);
  const std::string_view target = nextPiece(requestLine);
  if (target.empty() || !isGet(method)) {
    return SessionError::invalidHTTPRequest;
  }
  HTTPRequest request;
  request.path = utf8FromLatin1(target);
  while (!rest.empty()) {
    const auto end = std::min(rest.find(lineBreak), rest.size());
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(std::min(end + lineBreak.size(), rest.size()));
    // Obsolete line folding (RFC 9112, 5.2): a line that begins with a space or tab would
    // continue the header before it. Read on its own it could smuggle in a header that the
    // sender meant as part of another one's value, so the request is refused instead.
    if (line.starts_with(' ') || line.starts_with('\t')) {
      return SessionError::foldedHeaderLine;
    }
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) {
      continue;
    }
    request.headers[utf8FromLatin1(asciiLowercased(trimHorizontalSpace(line.substr(0, colon))))] =
        utf8FromLatin1(trimHorizontalSpace(line.substr(colon + 1)));
  }
  return request;
}

}  // namespace

std::optional<std::string_view> HTTPRequest::header(std::string_view lowerCaseName) const {
  const auto found = headers.find(std::string(lowerCaseName));
  if (found == headers.end()) {
    return std::nullopt;
  }
  return std::string_view(found->second);
}

boost::system::result<std::optional<HTTPRequestHead>> nextHTTPRequest(
    std::span<const std::uint8_t> bytes, std::size_t searchFrom) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  // The terminator may straddle the end of the part searched before.
  const std::size_t from =
      searchFrom > headTerminator.size() - 1 ? searchFrom - (headTerminator.size() - 1) : 0;
  const auto terminator = text.find(headTerminator, std::min(from, text.size()));
  if (terminator == std::string_view::npos) {
    if (bytes.size() > maximumHeadSize) {
      return SessionError::headerTooLarge;
    }
    return std::optional<HTTPRequestHead>();
  }
  const std::size_t size = terminator + headTerminator.size();
  auto request = parseHead(text.substr(0, size));
  if (!request) {
    return request.error();
  }
  return std::optional<HTTPRequestHead>(HTTPRequestHead{std::move(*request), size});
}

std::string_view routePath(std::string_view path) {
  const auto begin = path.find_first_not_of('?');
  if (begin == std::string_view::npos) {
    return {};
  }
  path.remove_prefix(begin);
  return path.substr(0, path.find('?'));
}

}  // namespace quillfern
