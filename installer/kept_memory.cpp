// Blocks kept from one decompressor's stream or frame to the next.
#include "kept_memory.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "large_pages.h"

namespace {

// Each block carries its size in front of what the caller gets.
constexpr size_t BLOCK_HEADER = alignof(std::max_align_t);

// libbz2's per-block arrays (megabytes for block sizes above 2) are read
// and written at random: large pages make decompression about 5 % faster,
// and cost far fewer page faults to fill.
constexpr size_t LARGE_BLOCK_BYTES = size_t{1} << 20;

void* allocate_block(size_t n) { return n < LARGE_BLOCK_BYTES ? std::malloc(n) : large_alloc(n); }

void* body_of(void* block) { return static_cast<char*>(block) + BLOCK_HEADER; }

}  // namespace

void* kept_alloc(kept_memory& k, size_t n) {
  for (auto& b : k.kept)
    if (b.block != nullptr && b.size == n) {
      void* block = b.block;
      b.block = nullptr;
      return body_of(block);
    }
  kept_release(k);
  void* block = n <= SIZE_MAX - BLOCK_HEADER ? allocate_block(n + BLOCK_HEADER) : nullptr;
  if (block == nullptr) return nullptr;
  *static_cast<size_t*>(block) = n;
  return body_of(block);
}

void kept_free(kept_memory& k, void* p) {
  if (p == nullptr) return;
  void* block = static_cast<char*>(p) - BLOCK_HEADER;
  for (auto& b : k.kept)
    if (b.block == nullptr) {
      b = {block, *static_cast<size_t*>(block)};
      return;
    }
  std::free(block);
}

void kept_release(kept_memory& k) {
  for (auto& b : k.kept) {
    std::free(b.block);
    b = {};
  }
}
