// bz2_fast_block.cpp - the first half of our bzip2 block decoder: the
// block header, the symbol map, selectors and Huffman tables, then the
// Huffman, move-to-front and zero-run decoding into the block's bytes.
// Every check libbz2 makes on the way declines the block here, so that
// libbz2 reports it (bz2_fast_block.h).
#include "bz2_fast_block.h"

#include <cstdlib>
#include <cstring>

#include "block_buffers.h"
#include "bz2_blocks.h"
#include "large_pages.h"

namespace {

constexpr unsigned MIN_GROUPS = 2;
constexpr unsigned MAX_GROUPS = 6;
constexpr unsigned MAX_ALPHA = 258;
constexpr unsigned MAX_CODE_BITS = 20;
constexpr unsigned GROUP_SYMBOLS = 50;
constexpr uint32_t BLOCK_UNIT = 100000;  // block size per level
// libbz2 keeps at most this many selectors; a 900k block needs two fewer.
constexpr unsigned MAX_SELECTORS = 2 + 900000 / GROUP_SYMBOLS;
// A zero run of this many run symbols and more is refused by libbz2.
constexpr unsigned MAX_RUN_SYMBOLS = 21;
// Codes up to this long are found in one table lookup.
constexpr unsigned LOOKUP_BITS = 10;
constexpr unsigned LENGTH_BITS = 5;  // of a lookup entry, below the symbol

struct bit_reader {
  const unsigned char* p;
  size_t size;
  uint64_t pos;  // bits taken from p
};

// The 64 bits from pos on, most significant first; at least 57 of them are
// the input's, and past its end the bits are zeros.
inline uint64_t peek(const bit_reader& r) {
  const size_t byte = static_cast<size_t>(r.pos >> 3);
  uint64_t v = 0;
  if (byte + 8 <= r.size) {
    const unsigned char* q = r.p + byte;
    v = (uint64_t{q[0]} << 56) | (uint64_t{q[1]} << 48) | (uint64_t{q[2]} << 40) | (uint64_t{q[3]} << 32) |
        (uint64_t{q[4]} << 24) | (uint64_t{q[5]} << 16) | (uint64_t{q[6]} << 8) | uint64_t{q[7]};
  } else {
    for (size_t i = 0; i < 8; ++i) v = (v << 8) | (byte + i < r.size ? r.p[byte + i] : 0u);
  }
  return v << (r.pos & 7);
}

// The next n (1 to 32) bits.
inline uint32_t take(bit_reader& r, unsigned n) {
  const auto v = static_cast<uint32_t>(peek(r) >> (64 - n));
  r.pos += n;
  return v;
}

// A canonical prefix code: codes of one length are consecutive numbers in
// the order of their symbols, and longer codes follow shorter ones.
struct huffman_table {
  uint16_t lookup[1u << LOOKUP_BITS];  // symbol and length, or 0: longer
  uint32_t limit[MAX_CODE_BITS + 1];   // 20-bit prefixes of codes up to a length lie below
  uint32_t first[MAX_CODE_BITS + 1];   // first code of a length
  uint16_t index[MAX_CODE_BITS + 1];   // its symbol's place in `symbols`
  uint16_t symbols[MAX_ALPHA];         // by length, then value
};

}  // namespace

struct fast_tables {
  unsigned char selectors[MAX_SELECTORS];
  huffman_table tables[MAX_GROUPS];
};

namespace {

// False unless the lengths make a complete prefix code, as every
// compressor's Huffman codes are: then decoding by table finds the symbol
// libbz2 finds. libbz2 also takes incomplete and overfull codes, whose
// blocks are declined.
bool build_table(huffman_table& t, const unsigned char* lengths, unsigned alpha) {
  unsigned count[MAX_CODE_BITS + 1] = {};
  for (unsigned s = 0; s < alpha; ++s) ++count[lengths[s]];
  uint32_t kraft = 0;
  for (unsigned len = 1; len <= MAX_CODE_BITS; ++len) kraft += count[len] << (MAX_CODE_BITS - len);
  if (kraft != 1u << MAX_CODE_BITS) return false;
  uint32_t code = 0;
  unsigned place = 0;
  uint16_t next[MAX_CODE_BITS + 1];
  for (unsigned len = 1; len <= MAX_CODE_BITS; ++len) {
    t.first[len] = code;
    t.index[len] = next[len] = static_cast<uint16_t>(place);
    place += count[len];
    code += count[len];
    t.limit[len] = code << (MAX_CODE_BITS - len);
    code <<= 1;
  }
  for (unsigned s = 0; s < alpha; ++s) t.symbols[next[lengths[s]]++] = static_cast<uint16_t>(s);
  std::memset(t.lookup, 0, sizeof t.lookup);
  for (unsigned len = 1; len <= LOOKUP_BITS; ++len)
    for (unsigned k = 0; k < count[len]; ++k) {
      const unsigned symbol = t.symbols[t.index[len] + k];
      const unsigned from = (t.first[len] + k) << (LOOKUP_BITS - len);
      const auto entry = static_cast<uint16_t>((symbol << LENGTH_BITS) | len);
      for (unsigned j = 0; j < 1u << (LOOKUP_BITS - len); ++j) t.lookup[from + j] = entry;
    }
  return true;
}

inline unsigned decode_symbol(bit_reader& r, const huffman_table& t) {
  const uint64_t v = peek(r);
  const unsigned entry = t.lookup[v >> (64 - LOOKUP_BITS)];
  if (entry != 0) {
    r.pos += entry & ((1u << LENGTH_BITS) - 1);
    return entry >> LENGTH_BITS;
  }
  // A complete code's limit for the longest length is 1 << 20: this stops.
  const auto prefix = static_cast<uint32_t>(v >> (64 - MAX_CODE_BITS));
  unsigned len = LOOKUP_BITS + 1;
  while (prefix >= t.limit[len]) ++len;
  r.pos += len;
  return t.symbols[t.index[len] + (prefix >> (MAX_CODE_BITS - len)) - t.first[len]];
}

// The symbol map: which byte values the block holds, in order.
unsigned read_symbol_map(bit_reader& r, unsigned char* values) {
  const uint32_t ranges = take(r, 16);
  unsigned used = 0;
  for (unsigned i = 0; i < 16; ++i) {
    if (((ranges >> (15 - i)) & 1u) == 0) continue;
    const uint32_t bits = take(r, 16);
    for (unsigned j = 0; j < 16; ++j)
      if ((bits >> (15 - j)) & 1u) values[used++] = static_cast<unsigned char>(i * 16 + j);
  }
  return used;
}

// The selectors, stored as move-to-front positions in unary.
bool read_selectors(bit_reader& r, unsigned groups, unsigned count, unsigned char* selectors) {
  unsigned char order[MAX_GROUPS] = {0, 1, 2, 3, 4, 5};
  for (unsigned i = 0; i < count; ++i) {
    unsigned j = 0;
    while (take(r, 1) != 0)
      if (++j >= groups) return false;
    const unsigned char v = order[j];
    std::memmove(order + 1, order, j);
    order[0] = v;
    selectors[i] = v;
  }
  return true;
}

// Each table's code lengths, as a start and steps of one up or down.
bool read_tables(bit_reader& r, unsigned groups, unsigned alpha, huffman_table* tables) {
  for (unsigned t = 0; t < groups; ++t) {
    unsigned char lengths[MAX_ALPHA];
    unsigned len = take(r, 5);
    for (unsigned s = 0; s < alpha; ++s) {
      for (;;) {
        if (len < 1 || len > MAX_CODE_BITS) return false;
        if (take(r, 1) == 0) break;
        len = take(r, 1) == 0 ? len + 1 : len - 1;
      }
      lengths[s] = static_cast<unsigned char>(len);
    }
    if (!build_table(tables[t], lengths, alpha)) return false;
  }
  return true;
}

// The byte at pos of the list, moved to its front. Most positions are
// small: a short loop there, not a library call.
inline unsigned char move_to_front(unsigned char* list, unsigned pos) {
  const unsigned char c = list[pos];
  if (pos < 16) {
    for (unsigned i = pos; i > 0; --i) list[i] = list[i - 1];
  } else {
    std::memmove(list + 1, list, pos);
  }
  list[0] = c;
  return c;
}

struct symbol_stage {
  unsigned char mtf[256];  // byte values, most recent first
  unsigned eob;
  unsigned selectors;
  uint32_t limit;  // bytes the block may hold
};

// The Huffman-coded symbols up to the end-of-block symbol, into tt. False
// where libbz2 fails: selectors run out, a run too long, a block too big.
bool read_symbols(bit_reader& r, symbol_stage& st, const fast_tables& tab, uint32_t* tt, fast_block& b) {
  uint32_t n = 0;
  uint32_t run = 0;
  unsigned run_symbols = 0;
  for (unsigned g = 0; g < st.selectors; ++g) {
    const huffman_table& t = tab.tables[tab.selectors[g]];
    for (unsigned k = 0; k < GROUP_SYMBOLS; ++k) {
      const unsigned sym = decode_symbol(r, t);
      if (sym <= 1) {  // RUNA, RUNB: a run of the front byte, in bijective base 2
        if (run_symbols >= MAX_RUN_SYMBOLS) return false;
        run += (sym + 1) << run_symbols++;
        continue;
      }
      if (run_symbols > 0) {
        if (run > st.limit - n) return false;
        const unsigned char c = st.mtf[0];
        b.counts[c] += run;
        for (uint32_t i = 0; i < run; ++i) tt[n + i] = c;
        n += run;
        run = 0;
        run_symbols = 0;
      }
      if (sym == st.eob) {
        b.nblock = n;
        return true;
      }
      if (n >= st.limit) return false;
      const unsigned char c = move_to_front(st.mtf, sym - 1);
      ++b.counts[c];
      tt[n++] = c;
    }
  }
  return false;
}

void ensure_tt(fast_space& s, size_t entries) {
  if (s.tt_entries >= entries) return;
  std::free(s.tt);
  s.tt = static_cast<uint32_t*>(large_alloc_touched(entries * sizeof(uint32_t)));
  if (s.tt == nullptr) blocks_out_of_memory();
  s.tt_entries = entries;
}

}  // namespace

void fast_space_release(fast_space& s) {
  std::free(s.tt);
  std::free(s.bytes);
  std::free(s.piece);
  std::free(s.tables);
  s = {};
}

fast_outcome fast_decode_block(const unsigned char* raw, size_t raw_size, unsigned first_bit, uint64_t end_bit,
                               int level, fast_space& space, block_emit emit, void* ctx) {
  if (level < 1 || level > 9 || end_bit > uint64_t{raw_size} * 8) return fast_outcome::declined;
  bit_reader r{raw, raw_size, first_bit};
  const uint64_t marker = uint64_t{take(r, BZ2_MARKER_BITS / 2)} << (BZ2_MARKER_BITS / 2);
  if ((marker | take(r, BZ2_MARKER_BITS / 2)) != BZ2_BLOCK_MARKER) return fast_outcome::declined;
  fast_block b{};
  b.stored_crc = take(r, BZ2_CRC_BITS);
  if (take(r, 1) != 0) return fast_outcome::declined;  // randomised: an old compressor's, rare
  b.orig_ptr = take(r, 24);
  symbol_stage st{};
  const unsigned in_use = read_symbol_map(r, st.mtf);
  if (in_use == 0) return fast_outcome::declined;
  const unsigned groups = take(r, 3);
  st.selectors = take(r, 15);
  if (groups < MIN_GROUPS || groups > MAX_GROUPS || st.selectors < 1 || st.selectors > MAX_SELECTORS)
    return fast_outcome::declined;
  if (space.tables == nullptr) space.tables = static_cast<fast_tables*>(blocks_grow(nullptr, sizeof(fast_tables)));
  if (!read_selectors(r, groups, st.selectors, space.tables->selectors) ||
      !read_tables(r, groups, in_use + 2, space.tables->tables))
    return fast_outcome::declined;
  st.eob = in_use + 1;
  st.limit = BLOCK_UNIT * static_cast<uint32_t>(level);
  ensure_tt(space, st.limit);
  if (!read_symbols(r, st, *space.tables, space.tt, b)) return fast_outcome::declined;
  // The block must end where the next marker starts (libbz2 would read a
  // marker there), and the position its output starts from lie within it.
  if (r.pos != end_bit || b.orig_ptr >= b.nblock) return fast_outcome::declined;
  return fast_emit_block(b, space, emit, ctx);
}
