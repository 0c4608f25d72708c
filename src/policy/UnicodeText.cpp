#include "policy/UnicodeText.hpp"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <cstdint>

namespace quillfern {

namespace {

// Decodes the code point at offset i; returns a negative value for an invalid sequence.
UChar32 codePointAt(std::string_view text, std::int32_t& i) {
  UChar32 c = 0;
  U8_NEXT(reinterpret_cast<const std::uint8_t*>(text.data()), i,
          static_cast<std::int32_t>(text.size()), c);
  return c;
}

// Offset of the code point that ends at `end`, or -1 for an invalid sequence.
std::int32_t previousCodePoint(std::string_view text, std::int32_t end, UChar32& c) {
  std::int32_t i = end;
  U8_PREV(reinterpret_cast<const std::uint8_t*>(text.data()), 0, i, c);
  return c < 0 ? -1 : i;
}

}  // namespace

bool isTrimmedSpace(char32_t codePoint) {
  if ((codePoint >= 0x09 && codePoint <= 0x0D) || codePoint == 0x85) {
    return true;
  }
  const auto mask = U_GET_GC_MASK(static_cast<UChar32>(codePoint));
  return (mask & U_GC_Z_MASK) != 0;
}

std::string_view trimSpaceAndNewlines(std::string_view text) {
  // A std::string_view longer than INT32_MAX cannot occur for the entries we see; clamp anyway
  // so the ICU macros stay in range.
  if (text.size() > static_cast<std::size_t>(INT32_MAX)) {
    return text;
  }
  std::int32_t begin = 0;
  const auto size = static_cast<std::int32_t>(text.size());
  while (begin < size) {
    std::int32_t next = begin;
    const UChar32 c = codePointAt(text, next);
    if (c < 0 || !isTrimmedSpace(static_cast<char32_t>(c))) {
      break;
    }
    begin = next;
  }
  std::int32_t end = size;
  while (end > begin) {
    UChar32 c = 0;
    const std::int32_t start = previousCodePoint(text, end, c);
    if (start < begin || !isTrimmedSpace(static_cast<char32_t>(c))) {
      break;
    }
    end = start;
  }
  return text.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
}

std::string lowercased(std::string_view text) {
  bool ascii = true;
  for (const char c : text) {
    ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  }
  std::string out;
  if (ascii) {
    // The common case (host names, keys) needs no ICU round trip.
    out.reserve(text.size());
    for (const char c : text) {
      out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return out;
  }
  icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
  unicode.toLower(icu::Locale::getRoot());
  unicode.toUTF8String(out);
  return out;
}

}  // namespace quillfern
