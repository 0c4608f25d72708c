#include "bridge/ClientFrameReader.hpp"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace quillfern {

namespace {

constexpr std::size_t maskKeySize = 4;
// The longest header: two bytes, a 64-bit length and the masking key.
[[maybe_unused]] constexpr std::size_t longestHeader = 14;
// A read into less room than this takes a fresh chunk instead: a read of a few bytes would
// cost a system call for little.
constexpr std::size_t smallestRoom = 4096;

}  // namespace

std::vector<std::uint8_t> ClientFrame::flatten() const {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(static_cast<std::size_t>(size));
  for (const ChunkSlice& slice : payload) {
    const auto part = slice.bytes();
    bytes.insert(bytes.end(), part.begin(), part.end());
  }
  return bytes;
}

std::span<std::uint8_t> ClientFrameReader::space() {
  if (!chunk || ChunkPool::chunkSize - end < smallestRoom) {
    // Whatever is left untaken is part of a header that the end of this chunk cut.
    const std::size_t kept = end - begin;
    assert(kept < longestHeader);
    ChunkPool::Chunk fresh = pool.take();
    if (kept > 0) {
      std::memcpy(fresh.get(), chunk.get() + begin, kept);
    }
    chunk = std::move(fresh);
    begin = 0;
    end = kept;
  }
  return {chunk.get() + end, ChunkPool::chunkSize - end};
}

void ClientFrameReader::commit(std::size_t count) {
  assert(chunk && count <= ChunkPool::chunkSize - end);
  end += count;
}

boost::system::result<std::optional<ClientFrame>> ClientFrameReader::next() {
  if (!open) {
    const std::span<const std::uint8_t> untaken(chunk.get() + begin, end - begin);
    const auto header = parseClientFrameHeader(untaken);
    if (!header) {
      return header.error();
    }
    if (!*header || untaken.size() < (*header)->lengthFieldsSize + maskKeySize) {
      return std::optional<ClientFrame>();
    }
    OpenFrame started{.header = **header, .key = {}, .received = 0, .frame = {}};
    std::copy_n(untaken.begin() + static_cast<std::ptrdiff_t>(started.header.lengthFieldsSize),
                maskKeySize, started.key.begin());
    started.frame.fin = started.header.fin;
    started.frame.opcode = started.header.opcode;
    started.frame.size = started.header.payloadLength;
    begin += started.header.lengthFieldsSize + maskKeySize;
    open = std::move(started);
  }
  const std::uint64_t missing = open->header.payloadLength - open->received;
  const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(missing, end - begin));
  if (count > 0) {
    // The key goes on where the previous piece of this payload stopped.
    std::array<std::uint8_t, 4> key{};
    for (std::size_t i = 0; i < maskKeySize; ++i) {
      key[i] = open->key[(open->received + i) % maskKeySize];
    }
    const std::span<std::uint8_t> bytes(chunk.get() + begin, count);
    unmask(bytes, key, bytes);
    open->frame.payload.push_back(ChunkSlice{.chunk = chunk, .offset = begin, .size = count});
    begin += count;
    open->received += count;
  }
  if (open->received < open->header.payloadLength) {
    return std::optional<ClientFrame>();
  }
  ClientFrame whole = std::move(open->frame);
  open.reset();
  return std::optional<ClientFrame>(std::move(whole));
}

void ClientFrameReader::releaseIfIdle() {
  if (!open && begin == end) {
    chunk = {};
    begin = 0;
    end = 0;
  }
}

std::size_t ClientFrameReader::pending() const {
  const std::size_t held =
      open ? open->header.lengthFieldsSize + maskKeySize + static_cast<std::size_t>(open->received)
           : 0;
  return held + (end - begin);
}

}  // namespace quillfern
