// Inputs and calls for the DEFLATE decoder tests: a decoder run on guarded heap blocks, zlib
// streams of generated data at any level, strategy, window and memory level, and the table of
// zlib streams every decoder test sweeps.
#pragma once
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "inflate/inflate.h"

namespace qmtest {

using bytes = std::vector<unsigned char>;

// The signature of qm::inflate_decompress, which the reference decoder shares.
using decoder = int (*)(const unsigned char*, uint64_t, unsigned char*, uint64_t, uint64_t*);

struct outcome {
  int rc = 0;
  uint64_t produced = 0;
  bytes out;           // the whole destination block after the call, all `cap` bytes of it
  bool wrote = false;  // some byte of the destination was changed
};

// The byte a destination block holds at i before a call: a known pattern that no run of equal
// bytes in the output hides.
inline unsigned char dest_fill(size_t i) {
  return static_cast<unsigned char>(0xA5 ^ i * 7);
}

// Decodes (with the library's decoder unless told) with the source and the destination each in a
// heap block of exactly their size, so the sanitizer build catches a read or write past either
// end; the destination starts out as dest_fill, and `produced` as a value no call leaves.
inline outcome run(const bytes& z, uint64_t cap, decoder fn = qm::inflate_decompress) {
  const bytes src(z);
  outcome r;
  r.out.resize(cap);
  for (size_t i = 0; i < r.out.size(); ++i) r.out[i] = dest_fill(i);
  r.produced = 12345;
  r.rc = fn(src.empty() ? nullptr : src.data(), src.size(), r.out.data(), cap, &r.produced);
  for (size_t i = 0; i < r.out.size() && !r.wrote; ++i) r.wrote = r.out[i] != dest_fill(i);
  return r;
}

// zlib's compression of `in` with the given parameters (a zlib stream with its Adler-32 trailer).
inline bytes zcompress(const bytes& in, int level, int strategy, int window = 15,
                       int memlevel = 8) {
  z_stream zs{};
  EXPECT_EQ(deflateInit2(&zs, level, Z_DEFLATED, window, memlevel, strategy), Z_OK);
  bytes out(deflateBound(&zs, in.size()) + 64);
  zs.next_in = const_cast<Bytef*>(in.data());
  zs.avail_in = static_cast<uInt>(in.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

enum class kind { random, text, runs, mixed, skewed };

// n bytes of the given kind from the seed: random bytes; content-stream-like text (operators,
// names and numbers from a small vocabulary); runs of one byte; random pieces and copies of
// earlier pieces from near and far; bytes whose frequencies fall off geometrically, so that
// Huffman codes reach the 15-bit limit.
inline bytes generate(kind k, size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  bytes b;
  b.reserve(n + 2000);
  switch (k) {
    case kind::random:
      while (b.size() < n) b.push_back(static_cast<unsigned char>(rng()));
      break;
    case kind::text: {
      const char* words[] = {
          "q",  "Q", "cm", "BT", "ET", "Tf",  "Tj",  "/F1", "/Im0",    "Do",
          "re", "f", "0",  "1",  "12", "612", "792", "0.5", "(Hello)", "[(W)120(orld)]"};
      while (b.size() < n) {
        const char* wd = words[rng() % (sizeof words / sizeof words[0])];
        b.insert(b.end(), wd, wd + std::strlen(wd));
        b.push_back(rng() % 7 == 0 ? '\n' : ' ');
      }
      break;
    }
    case kind::runs:
      while (b.size() < n) b.insert(b.end(), 1 + rng() % 600, static_cast<unsigned char>(rng()));
      break;
    case kind::mixed:
      while (b.size() < n) {
        const size_t piece = 1 + rng() % 2000;
        if (b.size() > piece && rng() % 3 != 0) {
          const size_t from = rng() % (b.size() - piece);
          for (size_t i = 0; i < piece; ++i) b.push_back(b[from + i]);
        } else {
          for (size_t i = 0; i < piece; ++i) b.push_back(static_cast<unsigned char>(rng() % 16));
        }
      }
      break;
    case kind::skewed:
      while (b.size() < n) {
        int v = 0;
        while (v < 255 && (rng() & 1)) ++v;
        b.push_back(static_cast<unsigned char>(v));
      }
      break;
  }
  b.resize(n);
  return b;
}

struct zlib_config {
  int level;
  int strategy;
  int window = 15;
  int memlevel = 8;
};

// One zlib stream of the sweep: generate(k, n, seed) compressed with c.
struct zlib_case {
  kind k;
  size_t n;
  uint32_t seed;
  zlib_config c;
};

// The zlib streams the decoder tests sweep. Two grids of kinds by sizes by settings, the seed
// counting up per kind and size from 1 in each: sizes at the ends of a copy's length (257, 258)
// and of the 32 KiB window, at every level and with each strategy at levels 1, 6 and 9; and sizes
// around the decoder's 8-byte bit buffer, with each strategy at levels 1, 5 and 9, windows of
// 512 bytes to 4 KiB and memory levels 1, 2 and 9. A stream both grids hold is listed once.
inline std::vector<zlib_case> zlib_sweep() {
  std::vector<zlib_case> v;
  std::set<std::tuple<int, size_t, uint32_t, int, int, int, int>> seen;
  auto grid = [&](std::initializer_list<kind> kinds, std::initializer_list<size_t> sizes,
                  std::initializer_list<int> strategy_levels, bool windows) {
    std::vector<zlib_config> configs;
    for (int level = 0; level <= 9; ++level) configs.push_back({level, Z_DEFAULT_STRATEGY});
    for (int strategy : {Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED})
      for (int level : strategy_levels) configs.push_back({level, strategy});
    if (windows) {
      for (int window : {9, 10, 12}) configs.push_back({6, Z_DEFAULT_STRATEGY, window});
      for (int memlevel : {1, 2, 9}) configs.push_back({9, Z_DEFAULT_STRATEGY, 15, memlevel});
    }
    uint32_t seed = 1;
    for (kind k : kinds) {
      for (size_t n : sizes) {
        for (const zlib_config& c : configs) {
          if (seen.insert({static_cast<int>(k), n, seed, c.level, c.strategy, c.window, c.memlevel})
                  .second)
            v.push_back({k, n, seed, c});
        }
        ++seed;
      }
    }
  };
  grid({kind::random, kind::text, kind::runs, kind::mixed},
       {0, 1, 2, 3, 257, 258, 1000, 32768 + 7, 70000}, {1, 6, 9}, false);
  grid({kind::random, kind::text, kind::runs, kind::mixed, kind::skewed},
       {0, 1, 7, 8, 9, 258, 1000, 5000, 40000}, {1, 5, 9}, true);
  return v;
}

// Large zlib streams, megabytes each: stored blocks of random data, text at the best level and
// Huffman-only, runs, fixed codes, level 0.
inline std::vector<zlib_case> large_zlib_streams() {
  return {
      {kind::random, 2 << 20, 100, {6, Z_DEFAULT_STRATEGY}},  // mostly stored blocks
      {kind::text, 4 << 20, 101, {9, Z_DEFAULT_STRATEGY}},
      {kind::text, 1 << 20, 102, {1, Z_HUFFMAN_ONLY}},
      {kind::runs, 2 << 20, 103, {6, Z_RLE}},
      {kind::mixed, 2 << 20, 104, {6, Z_FIXED}},
      {kind::mixed, 1 << 20, 105, {0, Z_DEFAULT_STRATEGY}},
      {kind::text, 3 << 20, 77, {9, Z_DEFAULT_STRATEGY}},
      {kind::skewed, 1 << 20, 78, {6, Z_HUFFMAN_ONLY}},
      {kind::runs, 2 << 20, 79, {6, Z_RLE}},
      {kind::mixed, 2 << 20, 80, {1, Z_FIXED}},
      {kind::random, 1 << 20, 81, {6, Z_DEFAULT_STRATEGY}},
  };
}

}  // namespace qmtest
