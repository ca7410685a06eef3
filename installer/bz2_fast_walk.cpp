// bz2_fast_walk.cpp - a bzip2 block's bytes put back in output order.
// Each position of the block links to the one whose byte follows, so the
// plain way is one walk of nblock loads at random places in a table of
// megabytes, each waiting for the one before. Several walks at once
// overlap those waits: the walks start at positions spread over the table,
// each start marked in it, and a walk ends where it reaches a mark. Joined
// in the order they reach one another's starts, the walks' bytes are the
// block. A damaged block, whose links do not make one cycle through every
// position, is walked the plain way instead, as libbz2 walks it.
#include <cstring>

#include "bz2_fast_block.h"

namespace {

constexpr unsigned WALKS = 32;
constexpr uint32_t START_MARK = 0x80000000u;
// Links lie in bits 8 to 27: 900,000 positions at most, below 2^20.
constexpr uint32_t LINK_MASK = 0xFFFFFu;
constexpr uint32_t MIN_SPLIT_BLOCK = 16 * 1024;  // smaller ones are walked plainly
constexpr uint32_t PIECE_BYTES = 4096;           // the walks take output room in these
constexpr uint32_t MAX_PIECES = 900001 / PIECE_BYTES + WALKS + 1;

inline uint32_t link_of(uint32_t entry) { return (entry >> 8) & LINK_MASK; }

// Links each position to the one whose byte follows it in the output: the
// positions holding one byte value, in order, go to the places that value
// takes in sorted order.
void link_positions(uint32_t* tt, const fast_block& b) {
  uint32_t next[256];
  uint32_t sum = 0;
  for (unsigned c = 0; c < 256; ++c) {
    next[c] = sum;
    sum += b.counts[c];
  }
  for (uint32_t i = 0; i < b.nblock; ++i) tt[next[tt[i] & 0xFFu]++] |= i << 8;
}

// nblock + 1 bytes: the walk takes one byte past the block, as libbz2's does.
void plain_walk(const uint32_t* tt, uint32_t first, uint32_t nblock, unsigned char* bytes) {
  uint32_t pos = first;
  for (uint32_t i = 0; i <= nblock; ++i) {
    const uint32_t e = tt[pos];
    bytes[i] = static_cast<unsigned char>(e);
    pos = link_of(e);
  }
}

constexpr uint32_t NOT_STOPPED = UINT32_MAX;

// The walks still running stand in slots 0 to running - 1, each with its
// position and output room; the rest is by walk.
struct walks {
  unsigned running;
  uint32_t pos[WALKS];
  unsigned char* out[WALKS];
  unsigned char* out_end[WALKS];
  unsigned id[WALKS];
  uint32_t start[WALKS];
  uint32_t end[WALKS];  // the start it reached
  uint32_t length[WALKS];
  uint32_t first_piece[WALKS];
  uint32_t last_piece[WALKS];
  uint32_t piece_next[MAX_PIECES];
  uint32_t pieces;
  unsigned char* room;
};

void take_piece(walks& w, unsigned slot) {
  const unsigned k = w.id[slot];
  const uint32_t p = w.pieces++;
  if (w.length[k] == 0) w.first_piece[k] = p;
  else w.piece_next[w.last_piece[k]] = p;
  w.last_piece[k] = p;
  w.out[slot] = w.room + size_t{p} * PIECE_BYTES;
  w.out_end[slot] = w.out[slot] + PIECE_BYTES;
}

// Steps every running walk as far as all have output room, or until one
// reaches a start (then every walk has taken the step it was in, and
// stopped[] tells the steps of those that reached one). Returns the steps
// of the others. The loop is kept short, so that many walks' loads are on
// their way at once.
uint32_t step_walks(const uint32_t* tt, walks& w, uint32_t room, uint32_t* stopped) {
  for (uint32_t r = 0; r < room; ++r) {
    bool reached = false;
    for (unsigned i = 0; i < w.running; ++i) {
      const uint32_t e = tt[w.pos[i]];
      if ((e & START_MARK) != 0) {
        if (stopped[i] == NOT_STOPPED) stopped[i] = r;
        reached = true;
        continue;
      }
      w.out[i][r] = static_cast<unsigned char>(e);
      w.pos[i] = link_of(e);
    }
    if (reached) return r + 1;
  }
  return room;
}

// Runs the walks side by side until each reaches a start; the total is at
// most nblock, since no position is visited twice.
void run_walks(const uint32_t* tt, walks& w) {
  while (w.running > 0) {
    uint32_t room = PIECE_BYTES;
    uint32_t stopped[WALKS];
    for (unsigned i = 0; i < w.running; ++i) {
      if (w.out[i] == w.out_end[i]) take_piece(w, i);
      const auto left = static_cast<uint32_t>(w.out_end[i] - w.out[i]);
      room = left < room ? left : room;
      stopped[i] = NOT_STOPPED;
    }
    const uint32_t steps = step_walks(tt, w, room, stopped);
    for (unsigned i = 0; i < w.running;) {
      const unsigned k = w.id[i];
      const uint32_t took = stopped[i] == NOT_STOPPED ? steps : stopped[i];
      w.out[i] += took;
      w.length[k] += took;
      if (stopped[i] == NOT_STOPPED) {
        ++i;
        continue;
      }
      w.end[k] = w.pos[i];
      const unsigned last = --w.running;
      w.pos[i] = w.pos[last];
      w.out[i] = w.out[last];
      w.out_end[i] = w.out_end[last];
      w.id[i] = w.id[last];
      stopped[i] = stopped[last];
    }
  }
}

// The walk that follows walk k: the one whose start walk k reached.
unsigned successor(const walks& w, unsigned k) {
  for (unsigned j = 0; j < WALKS; ++j)
    if (w.start[j] == w.end[k]) return j;
  return WALKS;
}

// Joins the walks into dst, first walk first; false unless they make one
// cycle through all positions.
bool join_walks(const walks& w, uint32_t nblock, unsigned char* dst) {
  unsigned order[WALKS];
  uint64_t total = 0;
  unsigned k = 0;
  for (unsigned i = 0; i < WALKS; ++i) {
    if (k >= WALKS || (i > 0 && k == 0)) return false;
    order[i] = k;
    total += w.length[k];
    k = successor(w, k);
  }
  if (k != 0 || total != nblock) return false;
  size_t at = 0;
  for (unsigned i = 0; i < WALKS; ++i) {
    uint32_t left = w.length[order[i]];
    for (uint32_t p = w.first_piece[order[i]]; left > 0; p = w.piece_next[p]) {
      const uint32_t n = left < PIECE_BYTES ? left : PIECE_BYTES;
      std::memcpy(dst + at, w.room + size_t{p} * PIECE_BYTES, n);
      at += n;
      left -= n;
    }
  }
  dst[nblock] = dst[0];  // the byte past the block: the cycle's first again
  return true;
}

}  // namespace

size_t fast_walk_room(uint32_t nblock) { return size_t{nblock} + 1 + size_t{WALKS} * PIECE_BYTES; }

const unsigned char* fast_walk(uint32_t* tt, const fast_block& b, unsigned char* room) {
  link_positions(tt, b);
  const uint32_t first = link_of(tt[b.orig_ptr]);
  if (b.nblock < MIN_SPLIT_BLOCK) {
    plain_walk(tt, first, b.nblock, room);
    return room;
  }
  walks w{};
  w.room = room;
  w.running = WALKS;
  const uint32_t step = b.nblock / WALKS;
  for (unsigned k = 0; k < WALKS; ++k) {
    w.id[k] = k;
    w.start[k] = static_cast<uint32_t>((first + uint64_t{k} * step) % b.nblock);
    tt[w.start[k]] |= START_MARK;
  }
  // Each walk's first step, off its own marked start.
  for (unsigned k = 0; k < WALKS; ++k) {
    take_piece(w, k);
    const uint32_t e = tt[w.start[k]];
    *w.out[k]++ = static_cast<unsigned char>(e);
    w.length[k] = 1;
    w.pos[k] = link_of(e);
  }
  run_walks(tt, w);
  // The table is no longer needed: the joined bytes go over it.
  auto* joined = reinterpret_cast<unsigned char*>(tt);
  if (join_walks(w, b.nblock, joined)) return joined;
  plain_walk(tt, first, b.nblock, room);
  return room;
}
