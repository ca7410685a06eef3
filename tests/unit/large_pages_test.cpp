// Large-page buffers: aligned, whole pages long, and a byte buffer moved
// into them keeps what it held.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "byte_buffer.h"
#include "large_pages.h"

namespace {

TEST(LargePages, AlignedWholePages) {
  EXPECT_EQ(large_size(1), LARGE_PAGE_BYTES);
  EXPECT_EQ(large_size(LARGE_PAGE_BYTES + 1), 2 * LARGE_PAGE_BYTES);
  for (void* (*alloc)(size_t) : {large_alloc, large_alloc_touched}) {
    auto* p = static_cast<char*>(alloc(3 * 1024 * 1024));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % LARGE_PAGE_BYTES, 0u);
    std::memset(p, 1, large_size(3 * 1024 * 1024));  // all of it is ours
    std::free(p);
  }
  EXPECT_EQ(large_alloc(SIZE_MAX - 10), nullptr);
}

TEST(LargePages, ByteBufferKeepsItsBytes) {
  const std::string text(300000, 'x');
  byte_buffer b{};
  ASSERT_TRUE(buffer_try_reserve(b, text.size()));
  std::memcpy(b.data, text.data(), text.size());
  b.size = text.size();
  ASSERT_TRUE(buffer_try_reserve_large(b, 3 * 1024 * 1024));
  EXPECT_EQ(b.capacity, 2 * LARGE_PAGE_BYTES);
  ASSERT_TRUE(buffer_try_reserve(b, 5 * 1024 * 1024));  // grows on from there
  EXPECT_EQ(std::string(reinterpret_cast<char*>(b.data), b.size), text);
  buffer_free(b);
}

}  // namespace
