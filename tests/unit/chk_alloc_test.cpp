#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vnlib.h"

namespace {

// More than any allocator hands out (beyond PTRDIFF_MAX, also where half the
// address space is there for the taking, as for a 32-bit process), yet a
// valid request.
constexpr size_t kHugeSize = SIZE_MAX - 0xffff;

// Under AddressSanitizer an impossible request aborts the process unless the
// allocator has been told to return null.
bool huge_requests_return_null() {
#if defined(__SANITIZE_ADDRESS__)
  const char* options = std::getenv("ASAN_OPTIONS");
  return options != nullptr && std::strstr(options, "allocator_may_return_null=1") != nullptr;
#else
  return true;
#endif
}

std::string hex_message(const char* verb, size_t size) {
  char line[128];
  std::snprintf(line, sizeof line, "CHK_ALLOC: Failed to %s memory. Wanted 0x%zx bytes\n", verb,
                size);
  return line;
}

TEST(ChkAlloc, AllocationsSucceedSilently) {
  testing::internal::CaptureStdout();
  auto* p = static_cast<unsigned char*>(vn::chk_zalloc(100));
  auto* q = static_cast<unsigned char*>(vn::chk_calloc(10, 10));
  void* empty = vn::chk_alloc(0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  ASSERT_NE(p, nullptr);
  ASSERT_NE(q, nullptr);
  EXPECT_NE(empty, nullptr);  // null is kept to mean failure
  for (int i = 0; i < 100; ++i) EXPECT_EQ(p[i] | q[i], 0) << i;

  std::memset(p, 'x', 100);
  auto* grown = static_cast<unsigned char*>(vn::chk_realloc(p, 100000));
  ASSERT_NE(grown, nullptr);
  EXPECT_EQ(grown[0], 'x');
  EXPECT_EQ(grown[99], 'x');
  vn::chk_free(grown);
  vn::chk_free(q);
  vn::chk_free_safe(empty);
  vn::chk_free_safe(nullptr);
}

TEST(ChkAlloc, ReallocToZeroKeepsAUsableBlock) {
  void* p = vn::chk_alloc(16);
  ASSERT_NE(p, nullptr);
  void* q = vn::chk_realloc(p, 0);
  ASSERT_NE(q, nullptr);  // a null here would read as failure with p still valid
  vn::chk_free(q);
}

TEST(ChkAlloc, FailuresPrintTheRequestAndReturnNull) {
  if (!huge_requests_return_null()) GTEST_SKIP() << "sanitizer allocator aborts on huge requests";

  testing::internal::CaptureStdout();
  EXPECT_EQ(vn::chk_alloc(kHugeSize), nullptr);
  const std::string message = testing::internal::GetCapturedStdout();
  EXPECT_EQ(message, hex_message("allocate", kHugeSize));
  if (SIZE_MAX == UINT64_MAX) {  // the whole 64-bit size, lower case
    EXPECT_EQ(message, "CHK_ALLOC: Failed to allocate memory. Wanted 0xffffffffffff0000 bytes\n");
  }

  testing::internal::CaptureStdout();
  EXPECT_EQ(vn::chk_zalloc(kHugeSize), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), hex_message("zallocate", kHugeSize));

  char* old_block = vn::chk_strdup("still here");
  ASSERT_NE(old_block, nullptr);
  testing::internal::CaptureStdout();
  EXPECT_EQ(vn::chk_realloc(old_block, kHugeSize), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), hex_message("reallocate", kHugeSize));
  EXPECT_STREQ(old_block, "still here");
  vn::chk_free(old_block);

  // The silent variants report by their result only.
  testing::internal::CaptureStdout();
  EXPECT_EQ(vn::check_alloc(kHugeSize, "test"), nullptr);
  EXPECT_EQ(vn::chk_calloc(kHugeSize, 4), nullptr);  // count * size overflows
  EXPECT_EQ(vn::chk_strndup("abc", kHugeSize), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(ChkAlloc, StringCopies) {
  char* copy = vn::chk_strdup("hello");
  EXPECT_STREQ(copy, "hello");
  vn::chk_free(copy);
  EXPECT_EQ(vn::chk_strdup(nullptr), nullptr);

  char* joined = vn::chk_makestr("/usr", "/", "", "local", static_cast<const char*>(nullptr));
  EXPECT_STREQ(joined, "/usr/local");
  vn::chk_free(joined);
  char* nothing = vn::chk_makestr("", static_cast<const char*>(nullptr));
  EXPECT_STREQ(nothing, "");
  vn::chk_free(nothing);

  // Exactly n bytes, embedded zeros included, no terminator.
  const char source[] = {'a', '\0', 'b', 'c', 'd'};
  char* part = vn::chk_strndup(source, 4);
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(std::memcmp(part, source, 4), 0);
  vn::chk_free(part);
  char* none = vn::chk_strndup(source, 0);
  EXPECT_NE(none, nullptr);
  vn::chk_free(none);
}

TEST(ChkAlloc, FreePtrClearsThePointer) {
  char* p = vn::chk_strdup("x");
  vn::chk_free_ptr(&p);
  EXPECT_EQ(p, nullptr);
  vn::chk_free_ptr(&p);  // already null: nothing happens
  EXPECT_EQ(p, nullptr);
  void* raw = nullptr;
  vn::chk_free_ptr(&raw);
  vn::chk_free_ptr(static_cast<void**>(nullptr));
}

}  // namespace
