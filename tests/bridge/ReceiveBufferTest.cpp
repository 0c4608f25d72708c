#include "bridge/ReceiveBuffer.hpp"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace quillfern {
namespace {

TEST(ReceiveBuffer, GivesBackLargeStorageOnlyOnceEmpty) {
  ReceiveBuffer buffer;
  std::vector<std::uint8_t> large(70'000);
  std::iota(large.begin(), large.end(), 0);
  buffer.receive(large);
  buffer.consume(10);
  buffer.keepRemainder();
  buffer.releaseIfEmpty();
  EXPECT_EQ(buffer.size(), large.size() - 10);  // still holding bytes: nothing given back
  EXPECT_EQ(buffer.view()[0], large[10]);
  buffer.consume(buffer.size());
  EXPECT_GE(buffer.capacity(), large.size() - 10);  // kept for the next frame
  buffer.releaseIfEmpty();
  EXPECT_EQ(buffer.capacity(), 0U);
}

}  // namespace
}  // namespace quillfern
