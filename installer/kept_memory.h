// kept_memory.h - the memory a decompressor frees at the end of each stream
// or frame and the next one asks for again, kept on one thread.
//
// libbz2 allocates megabytes for every stream and zstd a context for every
// frame; fresh memory each time would cost a page fault per page. What one
// user frees, the next gets back when it asks for the same size. A request
// of another size means the next user is shaped unlike the last: the kept
// blocks are then freed, so that no more is kept than one user holds.
// Blocks from 1 MiB on are in large pages (large_pages.h).
#ifndef VNINSTALL_KEPT_MEMORY_H
#define VNINSTALL_KEPT_MEMORY_H

#include <cstddef>

struct kept_memory {
  struct kept_block {
    void* block;
    size_t size;
  };
  kept_block kept[8];  // more than a libbz2 stream or a zstd context holds
};

// n bytes: a kept block of that size, or a new one; null without memory.
void* kept_alloc(kept_memory& k, size_t n);
// Keeps what kept_alloc gave (null is ignored).
void kept_free(kept_memory& k, void* p);
// Frees the blocks kept.
void kept_release(kept_memory& k);

#endif  // VNINSTALL_KEPT_MEMORY_H
