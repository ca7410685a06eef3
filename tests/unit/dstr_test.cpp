// Dynamic strings: exact bytes of every append, the growth figures, size
// management, escaping, and what a failed allocation leaves behind.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "vnlib.h"

namespace {

using Bytes = std::vector<unsigned char>;

// A record released at the end of the test.
struct Record {
  vn::dstr d{};
  explicit Record(int32_t size) { vn::dstr_init(&d, size); }
  ~Record() { vn::dstr_free(&d); }
  Bytes bytes() const { return Bytes(d.dl_str, d.dl_str + d.dl_len); }
  std::string text() const { return std::string(d.dl_str, d.dl_len); }
};

struct AppendCase {
  const char* name;
  std::function<int(vn::dstr*)> append;  // result of the append, 0 where it has none
  Bytes expected;
  int result = 0;
};

TEST(Dstr, AppendsWriteTheTaggedEncoding) {
  const std::vector<AppendCase> cases = {
      {"int 127", [](vn::dstr* d) { return vn::dstr_add_int(d, 127); }, {0x0E, 0x7F}, 2},
      {"int -127", [](vn::dstr* d) { return vn::dstr_add_int(d, -127); }, {0x0E, 0x81}, 2},
      {"int -128", [](vn::dstr* d) { return vn::dstr_add_int(d, -128); }, {0x01, 0xFF, 0xFF, 0xFF, 0x80}, 5},
      {"int 128", [](vn::dstr* d) { return vn::dstr_add_int(d, 128); }, {0x01, 0, 0, 0, 0x80}, 5},
      {"integer 5", [](vn::dstr* d) { return vn::dstr_add_integer(d, 5); }, {0x0E, 0x05}, 2},
      {"integer 2^31-1", [](vn::dstr* d) { return vn::dstr_add_integer(d, INT32_MAX); },
       {0x01, 0x7F, 0xFF, 0xFF, 0xFF}, 5},
      {"integer 2^31", [](vn::dstr* d) { return vn::dstr_add_integer(d, 2147483648LL); },
       {0x10, 0x80, 0, 0, 0, 0, 0, 0, 0}, 9},
      {"integer -1", [](vn::dstr* d) { return vn::dstr_add_integer(d, -1); },
       {0x10, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 9},
      {"int64", [](vn::dstr* d) { vn::dstr_add_int64(d, 0x0102030405060708LL); return 0; },
       {5, 6, 7, 8, 1, 2, 3, 4}},
      {"int32", [](vn::dstr* d) { vn::dstr_add_int32(d, 0x12345678); return 0; }, {0x12, 0x34, 0x56, 0x78}},
      {"int24", [](vn::dstr* d) { vn::dstr_add_int24(d, 0x7A123456); return 0; }, {0x12, 0x34, 0x56}},
      {"int16", [](vn::dstr* d) { vn::dstr_add_int16(d, -2); return 0; }, {0xFF, 0xFE}},
      {"id 1023", [](vn::dstr* d) { vn::dstr_add_id(d, 1023); return 0; }, {0xC5, 0xFF}},
      {"id 7", [](vn::dstr* d) { vn::dstr_add_id(d, 7); return 0; }, {0x05, 0x07}},
      {"null", [](vn::dstr* d) { vn::dstr_add_null(d); return 0; }, {0x04}},
      {"ptr", [](vn::dstr* d) { vn::dstr_add_ptr(d, 0x33, 0xDEADBEEF); return 0; }, {0x33, 0xDE, 0xAD, 0xBE, 0xEF}},
      {"terminate", [](vn::dstr* d) { vn::dstr_terminate(d); return 0; }, {0x00}},
      {"char", [](vn::dstr* d) { return vn::dstr_add_char(d, 'q'); }, {'q'}, 'q'},
      {"nchar", [](vn::dstr* d) { vn::dstr_add_nchar(d, 'z', 3); vn::dstr_add_nchar(d, 'y', -1); return 0; },
       {'z', 'z', 'z'}},
      {"mem and string keep zero bytes",
       [](vn::dstr* d) { vn::dstr_add_mem(d, "a\0b", 3); vn::dstr_add_string(d, "\0c", 2); return 0; },
       {'a', 0, 'b', 0, 'c'}},
  };
  for (const auto& c : cases) {
    Record r(4);
    EXPECT_EQ(c.append(&r.d), c.result) << c.name;
    EXPECT_EQ(r.bytes(), c.expected) << c.name;
  }

  Record r(4);
  vn::dstr_add_float(&r.d, 1.5);
  ASSERT_EQ(r.d.dl_len, 9);
  double back = 0;
  EXPECT_EQ(static_cast<unsigned char>(r.d.dl_str[0]), 10);
  std::memcpy(&back, r.d.dl_str + 1, sizeof back);
  EXPECT_EQ(back, 1.5);
}

struct GrowthCase {
  const char* name;
  int32_t size, len;
  std::function<void(vn::dstr*)> append;
  int32_t grown_size;
};

TEST(Dstr, GrowthUsesGreaterOrEqualAndFixedIncrements) {
  const std::vector<GrowthCase> cases = {
      {"char at the last byte", 16, 15, [](vn::dstr* d) { vn::dstr_add_char(d, 'x'); }, 80},
      {"char with room", 16, 14, [](vn::dstr* d) { vn::dstr_add_char(d, 'x'); }, 16},
      {"mem adds a tenth", 100, 90, [](vn::dstr* d) { vn::dstr_add_mem(d, std::string(20, 'm').data(), 20); }, 194},
      {"string", 16, 0, [](vn::dstr* d) { vn::dstr_add_string(d, std::string(20, 's').data(), 20); }, 100},
      {"nchar", 16, 8, [](vn::dstr* d) { vn::dstr_add_nchar(d, 'n', 8); }, 88},
      {"nchar with room", 16, 7, [](vn::dstr* d) { vn::dstr_add_nchar(d, 'n', 8); }, 16},
      {"terminate", 16, 15, [](vn::dstr* d) { vn::dstr_terminate(d); }, 24},
      {"null needs two", 16, 14, [](vn::dstr* d) { vn::dstr_add_null(d); }, 24},
      {"null with room", 16, 13, [](vn::dstr* d) { vn::dstr_add_null(d); }, 16},
      {"id", 16, 14, [](vn::dstr* d) { vn::dstr_add_id(d, 1); }, 80},
      {"int24", 16, 13, [](vn::dstr* d) { vn::dstr_add_int24(d, 1); }, 80},
      {"int32", 16, 12, [](vn::dstr* d) { vn::dstr_add_int32(d, 1); }, 80},
      {"int64", 16, 8, [](vn::dstr* d) { vn::dstr_add_int64(d, 1); }, 24},
      {"small int", 16, 14, [](vn::dstr* d) { vn::dstr_add_int(d, 1); }, 82},
      {"long int", 16, 11, [](vn::dstr* d) { vn::dstr_add_int(d, 1000); }, 85},
      {"long integer", 16, 7, [](vn::dstr* d) { vn::dstr_add_integer(d, -1); }, 25},
      {"float", 16, 7, [](vn::dstr* d) { vn::dstr_add_float(d, 0.0); }, 89},
      {"ptr", 16, 11, [](vn::dstr* d) { vn::dstr_add_ptr(d, 1, 1); }, 80},
      {"reserve", 16, 6, [](vn::dstr* d) { vn::dstr_reserve(d, 10); }, 90},
  };
  for (const auto& c : cases) {
    Record r(c.size);
    vn::dstr_set_size(&r.d, c.len);
    const int32_t before = r.d.dl_len;
    c.append(&r.d);
    EXPECT_EQ(r.d.dl_size, c.grown_size) << c.name;
    EXPECT_LT(r.d.dl_len, r.d.dl_size) << c.name;
    EXPECT_GT(r.d.dl_len, before) << c.name;
  }

  // An adopted buffer is all contents, so the first append grows it.
  vn::dstr adopted;
  vn::dstr_setup(&adopted, vn::chk_strdup("abcdefg"), 8);
  vn::dstr_add_char(&adopted, '!');
  EXPECT_EQ(adopted.dl_size, 72);
  EXPECT_EQ(std::string(adopted.dl_str, adopted.dl_len), std::string("abcdefg\0!", 9));
  vn::dstr_free(&adopted);
}

TEST(Dstr, SizeManagement) {
  Record r(8);
  vn::dstr_add_string(&r.d, "abcdef", 6);

  vn::dstr_size(&r.d, 8);  // not above dl_size: nothing at all
  EXPECT_EQ(r.d.dl_len, 6);
  vn::dstr_resize(&r.d, 4);  // never shrinks
  EXPECT_EQ(r.d.dl_size, 8);
  vn::dstr_size(&r.d, 12);  // grows zero-filled and takes the size as length
  EXPECT_EQ(r.d.dl_size, 12);
  EXPECT_EQ(r.text(), std::string("abcdef") + std::string(r.d.dl_str + 6, 6));
  EXPECT_EQ(std::string(r.d.dl_str + 8, 4), std::string(4, '\0'));

  vn::dstr_remove(&r.d, 2);
  EXPECT_EQ(r.text().substr(0, 4), "cdef");
  EXPECT_EQ(r.d.dl_len, 10);
  vn::dstr_remove(&r.d, 10);
  EXPECT_EQ(r.d.dl_len, 0);
  EXPECT_EQ(r.d.dl_str[0], 'c');  // emptied without moving anything

  vn::dstr_set_size(&r.d, 5);
  vn::dstr_set_space(&r.d, 12);  // same size: length kept
  EXPECT_EQ(r.d.dl_len, 5);
  vn::dstr_set_space(&r.d, 40);
  EXPECT_EQ(r.d.dl_size, 40);
  EXPECT_EQ(r.d.dl_len, 0);

  char* zeros = vn::dstr_reserve_zero(&r.d, 3);
  EXPECT_EQ(zeros, r.d.dl_str);
  EXPECT_EQ(r.bytes(), (Bytes{0, 0, 0}));

  vn::dstr_free(&r.d);
  EXPECT_EQ(r.d.dl_str, nullptr);
  EXPECT_EQ(r.d.dl_size, 40);
  EXPECT_EQ(r.d.dl_len, 0);

  vn::dstr fresh{};
  vn::dstr_resize(&fresh, 5);  // from no buffer: a zero-filled block
  EXPECT_EQ(std::string(fresh.dl_str, 5), std::string(5, '\0'));
  vn::dstr_free(&fresh);
}

TEST(Dstr, CstringEscapesEachByte) {
  const struct {
    std::string source, escaped;
  } cases[] = {
      {std::string("a\n\"\x01\xE9", 5), "a\\n\\\"\\x01\\xe9"},
      {std::string("\0z", 2), "\\000z"},
      {"\\", "\\\\"},
      {"\t\r\f\b", "\\t\\r\\f\\b"},
      {"\x07\x0b\x1f", "\\x07\\x0b\\x1f"},
      {"\x80\xff", "\\x80\\xff"},
      {" ~\x7f'", " ~\x7f'"},
      {"", ""},
  };
  for (const auto& c : cases) {
    Record r(4);
    vn::dstr_add_cstring(&r.d, c.source.data(), static_cast<int32_t>(c.source.size()));
    EXPECT_EQ(r.text(), c.escaped);
  }
}

TEST(DstrDeathTest, SetSizeBeyondBufferStopsWithAssertion) {
  EXPECT_DEATH(
      {
        Record r(8);
        vn::dstr_set_size(&r.d, 9);
      },
      "string/dstr\\.cpp:[0-9]+: dstr_set_size: Assertion `size <= dstr->dl_size' failed");
}

void expect_empty(const vn::dstr& d, const char* when) {
  EXPECT_EQ(d.dl_str, nullptr) << when;
  EXPECT_EQ(d.dl_size, 0) << when;
  EXPECT_EQ(d.dl_len, 0) << when;
}

// Growth beyond the 32-bit size must fail cleanly instead of wrapping, and a
// record that failed stays empty: later appends add nothing to it.
TEST(Dstr, GrowthBeyondThirtyTwoBitsEmptiesTheRecord) {
  const std::vector<std::pair<const char*, std::function<void(vn::dstr*)>>> oversized = {
      {"nchar", [](vn::dstr* d) { vn::dstr_add_nchar(d, 'x', INT32_MAX); }},
      {"mem", [](vn::dstr* d) { vn::dstr_add_mem(d, "", INT32_MAX - 70); }},
      {"reserve", [](vn::dstr* d) { EXPECT_EQ(vn::dstr_reserve_zero(d, INT32_MAX - 1), nullptr); }},
  };
  for (const auto& [name, append] : oversized) {
    Record r(100);
    vn::dstr_add_string(&r.d, "abc", 3);
    append(&r.d);
    expect_empty(r.d, name);
    vn::dstr_add_char(&r.d, 'y');
    vn::dstr_add_cstring(&r.d, "\n", 1);
    expect_empty(r.d, name);
  }
}

// Bytes of address space the process maps now.
long mapped_bytes() {
  long pages = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return -1;
  if (std::fscanf(statm, "%ld", &pages) != 1) pages = -1;
  std::fclose(statm);
  return pages * 4096;
}

// With the address space capped, large growth fails for real. Runs in the
// child of a death test; true when every record ended up empty.
bool failed_allocations_leave_records_empty(long mapped) {
  const rlim_t cap = static_cast<rlim_t>(mapped) + (256L << 20);
  const rlimit limit{cap, cap};
  if (setrlimit(RLIMIT_AS, &limit) != 0) return false;
  vn::dstr d;
  vn::dstr_init(&d, 16);
  vn::dstr_add_char(&d, 'a');
  vn::dstr_add_nchar(&d, 'x', 1 << 30);
  bool ok = d.dl_str == nullptr && d.dl_size == 0 && d.dl_len == 0;
  vn::dstr_add_char(&d, 'b');
  ok = ok && d.dl_str == nullptr && d.dl_len == 0;
  vn::dstr big;
  ok = ok && vn::dstr_init(&big, 1 << 30) == nullptr && big.dl_str == nullptr && big.dl_size == 0;
  std::fflush(stdout);
  return ok;
}

TEST(DstrDeathTest, FailedAllocationLeavesRecordEmpty) {
  const long mapped = mapped_bytes();
  if (mapped < 0) GTEST_SKIP() << "no /proc/self/statm";
  EXPECT_EXIT(std::_Exit(failed_allocations_leave_records_empty(mapped) ? 0 : 1),
              ::testing::ExitedWithCode(0), "");
}

}  // namespace
