#include "bridge/FragmentAssembler.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillfern {
namespace {

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

}  // namespace
}  // namespace quillfern
