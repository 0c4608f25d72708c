// The request-head reader fed the input in chunks, as reads arrive: the first byte of the input
// picks the chunk size. Whatever the chunking, the outcome must be the one a single call on the
// whole input gives (but for a terminator that comes after the size limit), and a head must
// never claim more bytes than there are.
#include "bridge/HttpRequest.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const std::size_t chunk = 1 + data[0] % 64;
  const std::span<const std::uint8_t> input(data + 1, size - 1);
  const auto whole = quillfern::nextHTTPRequest(input);

  std::size_t searched = 0;
  for (std::size_t have = std::min(chunk, input.size());; have = std::min(have + chunk, input.size())) {
    const auto partial = quillfern::nextHTTPRequest(input.first(have), searched);
    if (!partial) {
      // An error must be the one the whole input gives. The one exception: a terminator that
      // arrives only after the limit was passed is too late for a reader fed in chunks.
      const bool lateTerminator = whole && *whole && (*whole)->size > quillfern::maximumHeadSize;
      if (!lateTerminator && (whole || whole.error() != partial.error())) {
        std::abort();
      }
      break;
    }
    if (*partial) {
      const auto& head = **partial;
      if (head.size > have || !whole || !*whole || (*whole)->size != head.size
          || (*whole)->request.path != head.request.path) {
        std::abort();
      }
      (void)quillfern::routePath(head.request.path);
      break;
    }
    searched = have;
    if (have == input.size()) {
      if (whole && *whole) {
        std::abort();
      }
      break;
    }
  }
  return 0;
}
