#include "bridge/ClientFrameReader.hpp"
#include "bridge/FragmentAssembler.hpp"
#include "bridge/WebSocketAccept.hpp"
#include "bridge/WebSocketFrameCodec.hpp"
#include "support/WebSocketWire.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillfern {
namespace {

using testing::bytes;
using testing::ws::clientFrame;

// Short payloads as they are; long ones by size and checksum, so a failure stays readable.
std::string summary(const std::vector<std::uint8_t>& payload) {
  if (payload.size() <= 16) {
    return {payload.begin(), payload.end()};
  }
  std::uint64_t hash = 14695981039346656037U;  // FNV-1a
  for (const std::uint8_t byte : payload) {
    hash = (hash ^ byte) * 1099511628211U;
  }
  return std::to_string(payload.size()) + " bytes, FNV " + std::to_string(hash);
}

// Puts bytes into the reader as reads of at most readSize bytes, and takes every frame that
// becomes whole: "fin|more opcode payload" each, or the error's description, which ends it.
std::vector<std::string> read(ClientFrameReader& reader, std::string_view stream,
                              std::size_t readSize) {
  std::vector<std::string> frames;
  while (!stream.empty()) {
    const auto room = reader.space();
    const std::size_t count = std::min({room.size(), readSize, stream.size()});
    std::copy_n(stream.begin(), count, room.begin());
    reader.commit(count);
    stream.remove_prefix(count);
    while (true) {
      const auto parsed = reader.next();
      if (!parsed) {
        frames.push_back(parsed.error().message());
        return frames;
      }
      if (!*parsed) {
        break;
      }
      frames.push_back(std::string((*parsed)->fin ? "fin " : "more ")
                       + std::to_string((*parsed)->opcode) + " " + summary((*parsed)->flatten()));
    }
  }
  return frames;
}

// "wait", the error's description, or the frame and how many bytes are left behind it.
std::string outcome(std::string_view buffered) {
  ChunkPool pool;
  ClientFrameReader reader(pool);
  const auto frames = read(reader, buffered, buffered.size());
  if (frames.empty()) {
    return "wait";
  }
  const bool frame = frames.front().starts_with("fin ") || frames.front().starts_with("more ");
  return frame ? frames.front() + " " + std::to_string(reader.pending()) : frames.front();
}

TEST(WebSocketFrameParse, AtItsBoundaries) {
  struct Case {
    std::string buffered, expected;
  };
  for (const Case& c : {
           Case{bytes({0x81, 0xFE, 0x00}), "wait"},  // a 126-length header needs 4 bytes
           Case{bytes({0x81, 0xFF, 0, 0, 0, 0, 0, 0, 0}), "wait"},
           Case{clientFrame(0x81, "hi").substr(0, 7), "wait"},
           Case{clientFrame(0x81, "hi") + "xyz", "fin 1 hi 3"},
           Case{clientFrame(0xF1, "r"), "fin 1 r 0"},  // RSV bits are ignored
           Case{bytes({0x82, 0x05}) + "hello", "客户端 WebSocket 帧未掩码"},
           Case{bytes({0x82, 0x7E, 0x01, 0x00}), "客户端 WebSocket 帧未掩码"},
           // 64-bit lengths: exactly 16 MiB waits for its payload, one more fails at once.
           Case{bytes({0x82, 0xFF, 0, 0, 0, 0, 1, 0, 0, 0}), "wait"},
           Case{bytes({0x82, 0xFF, 0, 0, 0, 0, 1, 0, 0, 1}), "WebSocket 帧过大"},
           Case{bytes({0x82, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 0}), "WebSocket 帧过大"},
           Case{bytes({0x09, 0x80}), "WebSocket 控制帧无效"},          // ping without FIN
           Case{bytes({0x89, 0xFE, 0, 126}), "WebSocket 控制帧无效"},  // ping of 126 bytes
           Case{bytes({0x88, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4}),
                "fin 8  0"},  // non-minimal
       }) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(outcome(c.buffered), c.expected);
  }
}

// Payloads are unmasked where they were read, with the key going on across reads and chunks:
// however the stream is cut, the same frames come out, and nothing stays behind.
TEST(ClientFrameReader, SameFramesHoweverTheReadsFall) {
  std::string stream;
  std::vector<std::string> expected;
  // The first frame ends 3 bytes before the first chunk is full enough to be left: the reads
  // of 1, 7 and 13 bytes leave 3, 8 and 13 bytes of the next frame's 14-byte header behind.
  for (const std::size_t size : {61430, 200003, 0, 1, 7, 125, 126, 4095, 65535, 65536, 70001}) {
    std::string payload(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
      payload[i] = static_cast<char>('a' + (i * 7 + size) % 26);
    }
    const bool control = size <= 125 && size % 2 == 1;
    stream += clientFrame(control ? 0x89 : 0x82, payload,
                          {0x12, 0x34, 0x56, static_cast<std::uint8_t>(size)});
    expected.push_back(std::string("fin ") + (control ? "9 " : "2 ")
                       + summary(std::vector<std::uint8_t>(payload.begin(), payload.end())));
  }
  stream += clientFrame(0x01, "par") + clientFrame(0x80, "t");
  expected.insert(expected.end(), {"more 1 par", "fin 0 t"});
  for (const std::size_t readSize : {1, 7, 13, 4096, 65536, 1 << 20}) {
    SCOPED_TRACE(readSize);
    ChunkPool pool;
    ClientFrameReader reader(pool);
    EXPECT_EQ(read(reader, stream, readSize), expected);
    EXPECT_EQ(reader.pending(), 0U);
    reader.releaseIfIdle();
    EXPECT_FALSE(reader.holdsChunk());
  }
}

TEST(WebSocketFrameEncode, ServerHeadersUseTheShortestForm) {
  struct Case {
    std::uint8_t opcode;
    std::uint64_t length;
    std::string expected;
  };
  for (const Case& c : {
           Case{opcode::binary, 0, bytes({130, 0})},
           Case{opcode::binary, 125, bytes({130, 125})},
           Case{opcode::text, 126, bytes({129, 126, 0, 126})},
           Case{opcode::binary, 65535, bytes({130, 126, 255, 255})},
           Case{opcode::binary, 65536, bytes({130, 127, 0, 0, 0, 0, 0, 1, 0, 0})},
       }) {
    SCOPED_TRACE(c.length);
    const auto header = encodeFrameHeader(c.opcode, c.length);
    EXPECT_EQ(std::string(header.view().begin(), header.view().end()), c.expected);
  }
}

TEST(WebSocketFrameEncode, CloseReasonsAreCutToFitAControlFrame) {
  EXPECT_EQ(closePayload(1000, std::string(200, 'r')).size(), 125U);
}

WebSocketFrame frame(bool fin, std::uint8_t frameOpcode, std::string_view payload) {
  return {fin, frameOpcode, std::vector<std::uint8_t>(payload.begin(), payload.end())};
}

// What each frame of a sequence gives: "" for nothing yet, "<opcode>:<payload>" for a
// message, or the error's description.
std::vector<std::string> feed(FragmentAssembler& assembler,
                              const std::vector<WebSocketFrame>& frames) {
  std::vector<std::string> outcomes;
  for (const WebSocketFrame& f : frames) {
    const auto result = assembler.add(f);
    if (!result) {
      outcomes.push_back(result.error().message());
    } else if (*result) {
      outcomes.push_back(std::to_string((*result)->opcode) + ":"
                         + std::string((*result)->payload.begin(), (*result)->payload.end()));
    } else {
      outcomes.emplace_back();
    }
  }
  return outcomes;
}

TEST(FragmentAssembler, Sequences) {
  using opcode::binary, opcode::continuation, opcode::text;
  struct Case {
    const char* name;
    std::vector<WebSocketFrame> frames;
    std::vector<std::string> outcomes;
  };
  const std::vector<Case> cases = {
      {"whole frames pass through",
       {frame(true, text, "a"), frame(true, binary, "")},
       {"1:a", "2:"}},
      {"the first frame's opcode names the message, empty fragments count",
       {frame(false, binary, "x"), frame(false, continuation, ""), frame(true, continuation, "y"),
        frame(true, text, "z")},
       {"", "", "2:xy", "1:z"}},
      {"continuation with none open", {frame(true, continuation, "a")}, {"意外的 WebSocket 续帧"}},
      {"continuation after a completed message",
       {frame(false, text, "a"), frame(true, continuation, "b"), frame(false, continuation, "")},
       {"", "1:ab", "意外的 WebSocket 续帧"}},
      {"new message while one is open",
       {frame(false, text, "a"), frame(true, binary, "b")},
       {"", "WebSocket 分片嵌套"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FragmentAssembler assembler;
    EXPECT_EQ(feed(assembler, c.frames), c.outcomes);
  }
}

TEST(FragmentAssembler, LimitIsExactAndStateStaysWithinIt) {
  const std::string half(maximumMessageSize / 2, 'x');
  FragmentAssembler exact;
  EXPECT_EQ(
      feed(exact, {frame(false, opcode::binary, half), frame(true, opcode::continuation, half)})
          .back()
          .size(),
      2 + maximumMessageSize);
  EXPECT_FALSE(exact.assembling());
  EXPECT_EQ(exact.assembledSize(), 0U);

  FragmentAssembler over;
  EXPECT_EQ(
      feed(over, {frame(false, opcode::binary, half), frame(false, opcode::continuation, half),
                  frame(true, opcode::continuation, "y")})
          .back(),
      "WebSocket 消息过大");
  // The refused bytes were never appended.
  EXPECT_EQ(over.assembledSize(), maximumMessageSize);
}

TEST(WebSocketAccept, ChoosesBinaryElseTheFirstOffer) {
  struct Case {
    std::optional<std::string_view> protocols;
    std::optional<std::string> expected;
  };
  for (const Case& c : {
           Case{"chat , Binary", "Binary"},
           Case{"chat, superchat", "chat"},
           Case{"\tbinary\t", "binary"},
           Case{"BINARY,binary", "BINARY"},
           Case{"   ", std::nullopt},
           Case{",,,", std::nullopt},
           Case{std::nullopt, std::nullopt},
       }) {
    SCOPED_TRACE(c.protocols.value_or("(absent)"));
    EXPECT_EQ(chooseSubprotocol(c.protocols), c.expected);
  }
}

}  // namespace
}  // namespace quillfern
