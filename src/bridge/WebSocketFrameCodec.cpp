#include "bridge/WebSocketFrameCodec.hpp"

#include <cstring>

namespace quillfern {

namespace {

constexpr std::uint8_t finBit = 0x80;
constexpr std::uint8_t maskBit = 0x80;
constexpr std::uint8_t opcodeBits = 0x0F;
constexpr std::uint8_t lengthBits = 0x7F;
constexpr std::uint8_t length16 = 126;
constexpr std::uint8_t length64 = 127;
constexpr std::size_t maskKeySize = 4;

std::uint64_t bigEndian(std::span<const std::uint8_t> bytes) {
  std::uint64_t value = 0;
  for (const std::uint8_t byte : bytes) {
    value = (value << 8U) | byte;
  }
  return value;
}

bool isControl(std::uint8_t frameOpcode) {
  return frameOpcode >= opcode::close;
}

}  // namespace

boost::system::result<std::optional<ClientFrameHeader>> parseClientFrameHeader(
    std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 2) {
    return std::optional<ClientFrameHeader>();
  }
  ClientFrameHeader header;
  header.fin = (bytes[0] & finBit) != 0;
  header.opcode = bytes[0] & opcodeBits;
  const bool masked = (bytes[1] & maskBit) != 0;
  const std::uint8_t length7 = bytes[1] & lengthBits;
  header.lengthFieldsSize = length7 == length64 ? 10 : length7 == length16 ? 4 : 2;
  if (bytes.size() < header.lengthFieldsSize) {
    return std::optional<ClientFrameHeader>();
  }
  header.payloadLength =
      length7 < length16 ? length7 : bigEndian(bytes.subspan(2, header.lengthFieldsSize - 2));
  // RFC 6455 5.1: a server must close on an unmasked client frame. The checks run in this order
  // and before the payload is in, so an oversized frame is refused without buffering it.
  if (!masked) {
    return SessionError::unmaskedFrame;
  }
  if (length7 == length64 && header.payloadLength > maximumFramePayload) {
    return SessionError::frameTooLarge;
  }
  // RFC 6455 5.5: control frames carry at most 125 bytes and are never fragmented.
  if (isControl(header.opcode) && (!header.fin || header.payloadLength > maximumControlPayload)) {
    return SessionError::invalidControlFrame;
  }
  return std::optional<ClientFrameHeader>(header);
}

void unmask(std::span<const std::uint8_t> masked, std::array<std::uint8_t, 4> key,
            std::span<std::uint8_t> out) {
  // Sixteen bytes at a time, in the vector registers every x86-64 and ARMv8 processor has: this
  // pass over every byte a page sends is the one piece of work a plain TCP relay does not do.
  using Block = std::uint8_t __attribute__((vector_size(16)));
  using Words = std::uint32_t __attribute__((vector_size(16)));
  const std::size_t size = masked.size();
  std::uint32_t keyWord = 0;
  std::memcpy(&keyWord, key.data(), sizeof keyWord);
  const Words keyWords = {keyWord, keyWord, keyWord, keyWord};
  Block keyBlock;
  std::memcpy(&keyBlock, &keyWords, sizeof keyBlock);
  // Every block and word starts at a multiple of its size, so the key lines up with its byte 0.
  std::size_t i = 0;
  for (; i + sizeof(Block) <= size; i += sizeof(Block)) {
    Block block;
    std::memcpy(&block, masked.data() + i, sizeof block);
    block ^= keyBlock;
    std::memcpy(out.data() + i, &block, sizeof block);
  }
  if (i + sizeof(std::uint64_t) <= size) {
    std::uint64_t word = 0;
    std::uint64_t keyLong = 0;
    std::memcpy(&word, masked.data() + i, sizeof word);
    std::memcpy(&keyLong, &keyBlock, sizeof keyLong);
    word ^= keyLong;
    std::memcpy(out.data() + i, &word, sizeof word);
    i += sizeof word;
  }
  for (; i < size; ++i) {
    out[i] = masked[i] ^ key[i % maskKeySize];
  }
}

ServerFrameHeader encodeFrameHeader(std::uint8_t frameOpcode, std::uint64_t payloadLength) {
  ServerFrameHeader header;
  header.bytes[0] = finBit | (frameOpcode & opcodeBits);
  if (payloadLength < length16) {
    header.bytes[1] = static_cast<std::uint8_t>(payloadLength);
    header.size = 2;
    return header;
  }
  const std::size_t lengthBytes = payloadLength <= 0xFFFF ? 2 : 8;
  header.bytes[1] = lengthBytes == 2 ? length16 : length64;
  for (std::size_t i = 0; i < lengthBytes; ++i) {
    header.bytes[2 + i] = static_cast<std::uint8_t>(payloadLength >> (8 * (lengthBytes - 1 - i)));
  }
  header.size = 2 + lengthBytes;
  return header;
}

std::vector<std::uint8_t> closePayload(std::uint16_t code, std::string_view reason) {
  // RFC 6455 5.5: the whole control payload, code included, fits in 125 bytes.
  const std::string_view kept = reason.substr(0, maximumControlPayload - 2);
  std::vector<std::uint8_t> payload;
  payload.reserve(2 + kept.size());
  payload.push_back(static_cast<std::uint8_t>(code >> 8U));
  payload.push_back(static_cast<std::uint8_t>(code & 0xFFU));
  payload.insert(payload.end(), kept.begin(), kept.end());
  return payload;
}

}  // namespace quillfern
