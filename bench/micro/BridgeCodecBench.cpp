// Micro-benchmarks of the bridge's pure byte work: client frame parsing, unmasking, the frame
// reader that a client's reads land in, server frame headers, and the HTTP request reader.

#include "bridge/ClientFrameReader.hpp"
#include "bridge/HttpRequest.hpp"
#include "bridge/WebSocketFrameCodec.hpp"

#include <algorithm>
#include <array>
#include <benchmark/benchmark.h>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace {

using quillfern::ChunkPool;
using quillfern::ClientFrameReader;

constexpr std::array<std::uint8_t, 4> maskKey{0x37, 0xFA, 0x21, 0x3D};

// A masked client frame with FIN set, as a page sends it.
std::vector<std::uint8_t> clientFrame(std::uint8_t opcode, std::size_t payloadSize) {
  std::vector<std::uint8_t> frame{static_cast<std::uint8_t>(0x80U | opcode)};
  if (payloadSize <= 125) {
    frame.push_back(static_cast<std::uint8_t>(0x80U | payloadSize));
  } else if (payloadSize <= 0xFFFF) {
    frame.insert(frame.end(), {0xFE, static_cast<std::uint8_t>(payloadSize >> 8U),
                               static_cast<std::uint8_t>(payloadSize)});
  } else {
    frame.push_back(0xFF);
    for (int shift = 56; shift >= 0; shift -= 8) {
      frame.push_back(static_cast<std::uint8_t>(payloadSize >> static_cast<unsigned>(shift)));
    }
  }
  frame.insert(frame.end(), maskKey.begin(), maskKey.end());
  for (std::size_t i = 0; i < payloadSize; ++i) {
    frame.push_back(static_cast<std::uint8_t>((i * 7) ^ maskKey[i % 4]));
  }
  return frame;
}

void setPayloadBytes(benchmark::State& state, std::size_t perIteration) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations())
                          * static_cast<std::int64_t>(perIteration));
}

void parseClientFrameHeader(benchmark::State& state) {
  const auto frame =
      clientFrame(quillfern::opcode::binary, static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    auto header = quillfern::parseClientFrameHeader(frame);
    benchmark::DoNotOptimize(header);
  }
}
// 2-, 4- and 10-byte length forms.
BENCHMARK(parseClientFrameHeader)->Arg(32)->Arg(4096)->Arg(65536);

// Puts the bytes into the reader as a session reads them, at most a chunk at a time, and takes
// every frame off it; returns the frames taken.
std::size_t readFrames(ClientFrameReader& reader, std::span<const std::uint8_t> stream) {
  std::size_t frames = 0;
  while (!stream.empty()) {
    const auto room = reader.space();
    const std::size_t count = std::min(room.size(), stream.size());
    std::copy_n(stream.begin(), count, room.begin());
    reader.commit(count);
    stream = stream.subspan(count);
    while (true) {
      auto parsed = reader.next();
      if (!parsed || !*parsed) {
        break;
      }
      ++frames;
    }
  }
  reader.releaseIfIdle();
  return frames;
}

// One frame of each size through the reader: the copy stands in for the read, then the payload
// is unmasked where it lies.
void readClientFrame(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const auto frame = clientFrame(quillfern::opcode::binary, size);
  ChunkPool pool;
  ClientFrameReader reader(pool);
  for (auto _ : state) {
    benchmark::DoNotOptimize(readFrames(reader, frame));
  }
  setPayloadBytes(state, size);
}
BENCHMARK(readClientFrame)->Arg(32)->Arg(4096)->Arg(65536)->Arg(1 << 20);

void unmask(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const std::vector<std::uint8_t> masked(size, 0x5A);
  std::vector<std::uint8_t> out(size);
  for (auto _ : state) {
    quillfern::unmask(masked, maskKey, out);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  setPayloadBytes(state, size);
}
BENCHMARK(unmask)->Arg(32)->Arg(1024)->Arg(65536)->Arg(1 << 20);

// The byte-at-a-time loop, as the yardstick for the word-at-a-time one above.
void unmaskBytewise(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const std::vector<std::uint8_t> masked(size, 0x5A);
  std::vector<std::uint8_t> out(size);
  for (auto _ : state) {
    for (std::size_t i = 0; i < size; ++i) {
      out[i] = static_cast<std::uint8_t>(masked[i] ^ maskKey[i % 4]);
      benchmark::ClobberMemory();  // keeps the compiler from vectorising the yardstick away
    }
    benchmark::DoNotOptimize(out.data());
  }
  setPayloadBytes(state, size);
}
BENCHMARK(unmaskBytewise)->Arg(65536);

// Many small frames arriving in one read and taken one by one: the cost per frame must not grow
// with what is left behind it.
void consumeSmallFrames(benchmark::State& state) {
  const auto frames = static_cast<std::size_t>(state.range(0));
  const auto one = clientFrame(quillfern::opcode::binary, 32);
  std::vector<std::uint8_t> burst;
  for (std::size_t i = 0; i < frames; ++i) {
    burst.insert(burst.end(), one.begin(), one.end());
  }
  ChunkPool pool;
  ClientFrameReader reader(pool);
  for (auto _ : state) {
    if (readFrames(reader, burst) != frames) {
      state.SkipWithError("frame did not parse");
      break;
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations())
                          * static_cast<std::int64_t>(frames));
}
BENCHMARK(consumeSmallFrames)->Arg(16)->Arg(256)->Arg(4096);

void encodeFrameHeader(benchmark::State& state) {
  const auto size = static_cast<std::uint64_t>(state.range(0));
  for (auto _ : state) {
    auto header = quillfern::encodeFrameHeader(quillfern::opcode::binary, size);
    benchmark::DoNotOptimize(header);
  }
}
BENCHMARK(encodeFrameHeader)->Arg(125)->Arg(126)->Arg(65536);

std::vector<std::uint8_t> upgradeHead() {
  const std::string text =
      "GET /game.quillfern.example/1863 HTTP/1.1\r\n"
      "Host: 127.0.0.1:9882\r\n"
      "User-Agent: Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/605.1.15 (KHTML, like Gecko)\r\n"
      "Upgrade: websocket\r\n"
      "Connection: Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
      "Sec-WebSocket-Version: 13\r\n"
      "Origin: http://127.0.0.1:9882\r\n"
      "Accept-Encoding: gzip, deflate\r\n"
      "Accept-Language: zh-CN,zh;q=0.9,en;q=0.8\r\n"
      "Cache-Control: no-cache\r\n"
      "Pragma: no-cache\r\n"
      "\r\n";
  return {text.begin(), text.end()};
}

void nextHTTPRequest(benchmark::State& state) {
  const auto head = upgradeHead();
  for (auto _ : state) {
    auto request = quillfern::nextHTTPRequest(head);
    benchmark::DoNotOptimize(request);
  }
  setPayloadBytes(state, head.size());
}
BENCHMARK(nextHTTPRequest);

// A head that arrives one byte per read, each read followed by a parse attempt, as a slow or
// hostile client makes the bridge do. With searchFrom the whole head costs linear time.
void nextHTTPRequestByteByByte(benchmark::State& state) {
  auto head = upgradeHead();
  const std::string padding =
      "X-Padding: " + std::string(static_cast<std::size_t>(state.range(0)), 'p') + "\r\n";
  head.insert(head.end() - 2, padding.begin(), padding.end());
  for (auto _ : state) {
    std::size_t searched = 0;
    for (std::size_t end = 1; end <= head.size(); ++end) {
      auto request = quillfern::nextHTTPRequest(std::span(head.data(), end), searched);
      benchmark::DoNotOptimize(request);
      searched = end >= 3 ? end - 3 : 0;
    }
  }
  setPayloadBytes(state, head.size());
}
BENCHMARK(nextHTTPRequestByteByByte)->Arg(0)->Arg(4096)->Arg(32768);

}  // namespace

BENCHMARK_MAIN();
