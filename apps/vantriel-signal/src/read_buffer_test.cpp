#include "read_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace vantriel::signal {
namespace {

std::string text_of(const ReadBuffer& b) {
  const auto d = b.data();
  return std::string(static_cast<const char*>(d.data()), d.size());
}

void append(ReadBuffer& b, const std::string& s, size_t prepared) {
  const auto space = b.prepare(prepared);
  ASSERT_GE(space.size(), s.size());
  std::memcpy(space.data(), s.data(), s.size());
  b.commit(s.size());
}

// A message read in pieces as Beast reads it: what was read stays in order whether the
// next read fits after it, moves it to the front or needs a larger block.
TEST(ReadBuffer, KeepsWhatWasReadThroughGrowthAndCompaction) {
  ReadBuffer b;
  EXPECT_EQ(b.max_size(), ReadBuffer::kFirstRead);  // a first read is prepared small
  append(b, std::string(300, 'a'), ReadBuffer::kFirstRead);
  EXPECT_GT(b.max_size(), size_t{1} << 20);
  const size_t first = b.capacity();
  append(b, std::string(1000, 'b'), 1536);  // more than is left: a larger block
  EXPECT_EQ(text_of(b), std::string(300, 'a') + std::string(1000, 'b'));
  EXPECT_GT(b.capacity(), first);

  b.consume(1200);  // 100 'b' left, at the end of the block
  const size_t grown = b.capacity();
  append(b, std::string(grown - 150, 'c'), grown - 150);  // fits once moved to the front
  EXPECT_EQ(b.capacity(), grown);
  EXPECT_EQ(text_of(b), std::string(100, 'b') + std::string(grown - 150, 'c'));

  b.commit(10);  // nothing prepared beyond what was committed: nothing added
  EXPECT_EQ(b.size(), grown - 50);
  b.release();
  EXPECT_EQ(b.capacity(), 0u);
  EXPECT_EQ(b.size(), 0u);
  EXPECT_EQ(b.max_size(), ReadBuffer::kFirstRead);
  append(b, "ping", ReadBuffer::kFirstRead);
  EXPECT_EQ(text_of(b), "ping");
}

}  // namespace
}  // namespace vantriel::signal
