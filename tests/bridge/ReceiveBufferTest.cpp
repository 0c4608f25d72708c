#include "bridge/ReceiveBuffer.hpp"

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

namespace quillfern {
namespace {

std::string text(std::span<const std::uint8_t> bytes) {
  return {bytes.begin(), bytes.end()};
}

std::vector<std::uint8_t> bytesOf(std::string_view s) {
  return {s.begin(), s.end()};
}

TEST(ReceiveBuffer, KeepsOrderAcrossBorrowingCopyingAndCompacting) {
  ReceiveBuffer buffer;
  auto read = bytesOf("abcdef");
  buffer.receive(read);
  buffer.consume(2);
  buffer.keepRemainder();
  read.assign(read.size(), 'x');  // the reader's memory is reused
  EXPECT_EQ(text(buffer.view()), "cdef");
  buffer.receive(bytesOf("gh"));
  buffer.consume(3);  // the consumed front now outweighs the rest: the next read compacts
  buffer.receive(bytesOf("ij"));
  EXPECT_EQ(text(buffer.view()), "fghij");
  buffer.consume(5);
  EXPECT_TRUE(buffer.empty());
}

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
