// qsort.cpp - the library's sort: selection for a handful of elements, a
// stable top-down merge sort otherwise.
//
// The comparator travels down the recursion as an argument, so a comparator
// that sorts something itself does not disturb the sort in progress.
#include <cstdlib>
#include <cstring>

#include "vnlib.h"

namespace vn {

namespace {

using Compare = int (*)(const void*, const void*);

constexpr size_t kSelectionMax = 5;
// Merges of at most this many bytes go through a stack buffer, larger ones
// through one heap block each.
constexpr size_t kStackMergeMax = 4095;
constexpr size_t kStackBufferBytes = 4096;
constexpr size_t kWordSize = 4;

void swap_elements(unsigned char* a, unsigned char* b, size_t size) {
  if (size == kWordSize) {
    uint32_t word_a, word_b;
    std::memcpy(&word_a, a, kWordSize);
    std::memcpy(&word_b, b, kWordSize);
    std::memcpy(a, &word_b, kWordSize);
    std::memcpy(b, &word_a, kWordSize);
    return;
  }
  for (size_t i = 0; i < size; ++i) {
    const unsigned char t = a[i];
    a[i] = b[i];
    b[i] = t;
  }
}

// Not stable: among equal elements the first found is taken, and the swap
// moves the one at the position behind its equals.
void selection_sort(unsigned char* base, size_t count, size_t size, Compare cmp) {
  for (size_t i = 0; i < count; ++i) {
    unsigned char* smallest = base + i * size;
    for (size_t j = i + 1; j < count; ++j) {
      unsigned char* candidate = base + j * size;
      if (cmp(candidate, smallest) < 0) smallest = candidate;
    }
    if (smallest != base + i * size) swap_elements(base + i * size, smallest, size);
  }
}

void merge_into(unsigned char* out, const unsigned char* left, size_t left_bytes,
                const unsigned char* right, size_t right_bytes, size_t size, Compare cmp) {
  const unsigned char* left_end = left + left_bytes;
  const unsigned char* right_end = right + right_bytes;
  while (left < left_end && right < right_end) {
    const bool take_right = cmp(left, right) > 0;  // ties keep the left: stable
    const unsigned char*& from = take_right ? right : left;
    std::memcpy(out, from, size);
    out += size;
    from += size;
  }
  std::memcpy(out, left, static_cast<size_t>(left_end - left));
  out += left_end - left;
  std::memcpy(out, right, static_cast<size_t>(right_end - right));
}

// Kept out of line so that the stack buffer is not part of every level of
// the recursion. A heap buffer that cannot be had leaves both runs sorted but
// unmerged.
[[gnu::noinline]] void merge_runs(unsigned char* base, size_t left_count, size_t right_count,
                                  size_t size, Compare cmp) {
  const size_t left_bytes = left_count * size;
  const size_t total = left_bytes + right_count * size;
  unsigned char stack_buffer[kStackBufferBytes];
  unsigned char* buffer = stack_buffer;
  if (total > kStackMergeMax) {
    buffer = static_cast<unsigned char*>(std::malloc(total));
    if (buffer == nullptr) return;
  }
  merge_into(buffer, base, left_bytes, base + left_bytes, total - left_bytes, size, cmp);
  std::memcpy(base, buffer, total);
  if (buffer != stack_buffer) std::free(buffer);
}

void merge_sort(unsigned char* base, size_t count, size_t size, Compare cmp) {
  if (count < 2) return;
  const size_t half = count / 2;
  merge_sort(base, half, size, cmp);
  merge_sort(base + half * size, count - half, size, cmp);
  merge_runs(base, half, count - half, size, cmp);
}

}  // namespace

void qsort(void* base, size_t count, size_t size, int (*cmp)(const void*, const void*)) {
  auto* elements = static_cast<unsigned char*>(base);
  if (count <= kSelectionMax) {
    selection_sort(elements, count, size, cmp);
  } else {
    merge_sort(elements, count, size, cmp);
  }
}

}  // namespace vn
