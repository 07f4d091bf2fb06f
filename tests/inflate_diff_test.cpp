// Differential tests of the DEFLATE decoder: the library's table-driven decoder against the
// bitwise reference decoder on many inputs (zlib streams, generated codes up to 15 bits, hand-built
// edge streams, mutations, truncations, capacities). Both must give the same result code, the same
// produced count and the same produced bytes. The zlib streams of every level and strategy are
// checked here against the original data as well.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "inflate/inflate.h"
#include "support/inflate_bits.h"
#include "support/inflate_data.h"
#include "support/inflate_ref.h"

namespace {

using qmtest::bitwriter;
using qmtest::bytes;
using qmtest::cl_sym;
using qmtest::generate;
using qmtest::huff;
using qmtest::kind;
using qmtest::outcome;
using qmtest::put_stored;
using qmtest::run;
using qmtest::zcompress;

// What the comparisons saw, so that each test can show that its inputs reach every outcome.
struct tally {
  int complete = 0;  // 0 on data that zlib finds sound
  int damaged = 0;   // 0 on data that zlib finds damaged: the bytes before the damage
  int failed = 0;    // -1
};

// zlib's raw inflate over the data after the two header bytes, with plenty of room: true when it
// reports damaged data (used only to count what kind of inputs the tests met).
bool zlib_finds_damage(const bytes& z) {
  if (z.size() < 2) return false;
  z_stream zs{};
  if (inflateInit2(&zs, -15) != Z_OK) return false;
  static bytes out(1 << 16);
  zs.next_in = const_cast<Bytef*>(z.data() + 2);
  zs.avail_in = static_cast<uInt>(z.size() - 2);
  int ret;
  do {
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    ret = inflate(&zs, Z_NO_FLUSH);
  } while (ret == Z_OK);
  inflateEnd(&zs);
  return ret == Z_DATA_ERROR;
}

::testing::AssertionResult same(const bytes& z, uint64_t cap, tally* t = nullptr) {
  const outcome ours = run(z, cap);
  const outcome ref = run(z, cap, qmref::inflate_decompress);
  if (ours.rc != ref.rc || ours.produced != ref.produced) {
    return ::testing::AssertionFailure()
           << "cap " << cap << ": rc " << ours.rc << " produced " << ours.produced
           << ", reference rc " << ref.rc << " produced " << ref.produced;
  }
  // The produced bytes are the result; past them the destination is scratch (the decoder copies
  // in whole chunks), and after -1 none of it counts.
  const auto result_end = ours.out.begin() + static_cast<std::ptrdiff_t>(ours.produced);
  const auto diff = std::mismatch(ours.out.begin(), result_end, ref.out.begin());
  if (diff.first != result_end) {
    return ::testing::AssertionFailure()
           << "cap " << cap << ": destination differs at byte " << (diff.first - ours.out.begin())
           << " (rc " << ours.rc << ", produced " << ours.produced << ")";
  }
  if (t) {
    if (ours.rc != 0) {
      t->failed++;
    } else if (zlib_finds_damage(z)) {
      t->damaged++;
    } else {
      t->complete++;
    }
  }
  return ::testing::AssertionSuccess();
}

// Compares at the capacities that matter for a stream that decodes to n bytes: exactly n, one
// less, a little more, none, and half.
void same_at_capacities(const bytes& z, uint64_t n, tally* t = nullptr) {
  ASSERT_TRUE(same(z, n, t));
  ASSERT_TRUE(same(z, n + 17, t));
  ASSERT_TRUE(same(z, 0, t));
  if (n > 0) {
    ASSERT_TRUE(same(z, n - 1, t));
  }
  if (n > 2) {
    ASSERT_TRUE(same(z, n / 2, t));
  }
}

// ---------------------------------------------------------------------------------------------
// Inputs

// Code lengths of a random complete code with `used` codes of at most `maxlen` bits: start from
// one code of length 0 and split codes in two until there are enough, mostly the longest ones,
// so that long codes (and subtables) are common.
std::vector<int> random_tree(std::mt19937& rng, int used, int maxlen) {
  std::vector<int> leaves = {0};
  while (static_cast<int>(leaves.size()) < used) {
    size_t pick = rng() % leaves.size();
    if (rng() % 3 != 0) {  // prefer the deepest code that may still split
      size_t best = leaves.size();
      for (size_t i = 0; i < leaves.size(); ++i) {
        if (leaves[i] < maxlen && (best == leaves.size() || leaves[i] > leaves[best])) best = i;
      }
      pick = best;
    }
    if (pick == leaves.size() || leaves[pick] >= maxlen) continue;
    const int d = leaves[pick] + 1;
    leaves[pick] = d;
    leaves.push_back(d);
  }
  return leaves;
}

// Lengths for n symbols: a random complete code over a random subset that holds `must`.
std::vector<int> random_lengths(std::mt19937& rng, int n, int used, int maxlen, int must = -1) {
  std::vector<int> l(static_cast<size_t>(n), 0);
  if (used == 1) {
    l[static_cast<size_t>(must >= 0 ? must : static_cast<int>(rng() % n))] = 1;
    return l;
  }
  std::vector<int> syms(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) syms[static_cast<size_t>(i)] = i;
  std::shuffle(syms.begin(), syms.end(), rng);
  if (must >= 0) std::iter_swap(syms.begin(), std::find(syms.begin(), syms.end(), must));
  const std::vector<int> tree = random_tree(rng, used, maxlen);
  for (int i = 0; i < used; ++i) l[static_cast<size_t>(syms[static_cast<size_t>(i)])] = tree[i];
  return l;
}

// The code-length sequence of a dynamic header, with the repeat symbols 16, 17 and 18 where they
// fit (or each length on its own).
std::vector<cl_sym> rle_lengths(const std::vector<int>& all, bool repeats) {
  std::vector<cl_sym> seq;
  for (size_t i = 0; i < all.size();) {
    size_t run = 1;
    while (i + run < all.size() && all[i + run] == all[i]) ++run;
    if (repeats && all[i] == 0 && run >= 11) {
      const size_t r = std::min<size_t>(run, 138);
      seq.push_back({18, static_cast<int>(r - 11)});
      i += r;
    } else if (repeats && all[i] == 0 && run >= 3) {
      const size_t r = std::min<size_t>(run, 10);
      seq.push_back({17, static_cast<int>(r - 3)});
      i += r;
    } else if (repeats && i > 0 && all[i] == all[i - 1] && run >= 3) {
      const size_t r = std::min<size_t>(run, 6);
      seq.push_back({16, static_cast<int>(r - 3)});
      i += r;
    } else {
      seq.push_back({all[i]});
      ++i;
    }
  }
  return seq;
}

// One random Huffman-coded block (fixed or dynamic with codes up to 15 bits): literals and copies,
// then end-of-block. `plain` tracks the bytes a decoder produces; copies reach back at most as far
// as plain goes, unless `wild`, which lets some distances reach too far.
void put_random_block(std::mt19937& rng, bitwriter& w, bool final, bool dynamic, bool wild,
                      std::string& plain) {
  qmtest::put_block_header(w, final, dynamic ? 2 : 1);
  huff lit = qmtest::fixed_litlen(), dist = qmtest::fixed_dist();
  int nlen = 288, ndist = 30;
  if (dynamic) {
    nlen = 257 + static_cast<int>(rng() % 30);
    ndist = 1 + static_cast<int>(rng() % 30);
    const int maxlen = rng() % 4 == 0 ? 9 : 15;
    const int lit_used = rng() % 16 == 0 ? 1 : 2 + static_cast<int>(rng() % (nlen - 1));
    lit = huff(random_lengths(rng, nlen, lit_used, maxlen, 256));
    const int dist_used = rng() % 8 == 0 ? 1 : 2 + static_cast<int>(rng() % ndist);
    dist = huff(random_lengths(rng, ndist, std::min(dist_used, ndist), maxlen));
    std::vector<int> all = lit.lengths;
    all.insert(all.end(), dist.lengths.begin(), dist.lengths.end());
    const std::vector<cl_sym> seq = rle_lengths(all, rng() % 4 != 0);
    // A complete code-length code over the symbols the sequence uses (two at least).
    std::vector<int> used_cl;
    for (const cl_sym& c : seq) {
      if (std::find(used_cl.begin(), used_cl.end(), c.sym) == used_cl.end()) {
        used_cl.push_back(c.sym);
      }
    }
    if (used_cl.size() < 2) used_cl.push_back(used_cl[0] == 0 ? 1 : 0);
    const std::vector<int> tree = random_tree(rng, static_cast<int>(used_cl.size()), 7);
    std::vector<int> cl(19, 0);
    for (size_t i = 0; i < used_cl.size(); ++i) cl[static_cast<size_t>(used_cl[i])] = tree[i];
    int nclen = 19;
    while (nclen > 4 && cl[static_cast<size_t>(qmtest::kClOrder[nclen - 1])] == 0) --nclen;
    qmtest::put_dynamic_header(w, nlen, ndist, cl, nclen, seq);
  }
  std::vector<int> lits, lengths, dists;
  for (int s = 0; s < std::min(nlen, 256); ++s) {
    if (lit.lengths[static_cast<size_t>(s)]) lits.push_back(s);
  }
  for (int s = 257; s < std::min(nlen, 286); ++s) {
    if (lit.lengths[static_cast<size_t>(s)]) lengths.push_back(s);
  }
  for (int s = 0; s < ndist; ++s) {
    if (dist.lengths[static_cast<size_t>(s)]) dists.push_back(s);
  }
  const int nsym = static_cast<int>(rng() % 400);
  for (int i = 0; i < nsym; ++i) {
    const bool copy = !lengths.empty() && !dists.empty() && rng() % 3 == 0;
    if (!copy) {
      if (lits.empty()) break;
      const int s = lits[rng() % lits.size()];
      lit.put(w, s);
      plain += static_cast<char>(s);
      continue;
    }
    const int ls = lengths[rng() % lengths.size()];
    const int li = ls - 257;
    const int len = qmtest::kLenBase[li] + static_cast<int>(rng() % (1u << qmtest::kLenExtra[li]));
    // A distance symbol whose range reaches no further back than the output, when there is one.
    std::vector<int> fit;
    for (int s : dists) {
      if (qmtest::kDistBase[s] <= static_cast<int>(plain.size())) fit.push_back(s);
    }
    if (fit.empty() && !wild) {
      if (lits.empty()) break;
      lit.put(w, lits[0]);
      plain += static_cast<char>(lits[0]);
      continue;
    }
    const int ds = fit.empty() || (wild && rng() % 8 == 0) ? dists[rng() % dists.size()]
                                                           : fit[rng() % fit.size()];
    const int span = 1 << qmtest::kDistExtra[ds];
    int d = qmtest::kDistBase[ds] + static_cast<int>(rng() % static_cast<uint32_t>(span));
    if (!wild) d = std::min(d, static_cast<int>(plain.size()));
    d = std::max(d, qmtest::kDistBase[ds]);
    d = std::min(d, qmtest::kDistBase[ds] + span - 1);
    lit.put(w, ls);
    w.put(static_cast<uint32_t>(len - qmtest::kLenBase[li]), qmtest::kLenExtra[li]);
    dist.put(w, ds);
    w.put(static_cast<uint32_t>(d - qmtest::kDistBase[ds]), qmtest::kDistExtra[ds]);
    if (d > static_cast<int>(plain.size())) {
      wild = false;  // the decoding ends here; nothing after it matters
      plain += '\x01';
      break;
    }
    for (int k = 0; k < len; ++k) plain += plain[plain.size() - static_cast<size_t>(d)];
  }
  lit.put(w, 256);
}

// A stream of one to four random blocks: stored, fixed and dynamic.
bytes random_stream(std::mt19937& rng, bool wild, std::string& plain) {
  bitwriter w;
  const int nblocks = 1 + static_cast<int>(rng() % 4);
  for (int b = 0; b < nblocks; ++b) {
    const bool final = b == nblocks - 1;
    const uint32_t type = rng() % 5;
    if (type == 0) {
      std::string s(rng() % 300, '\0');
      for (char& c : s) c = static_cast<char>(rng());
      put_stored(w, final, s);
      plain += s;
    } else {
      put_random_block(rng, w, final, type >= 2, wild, plain);
    }
  }
  bytes z = qmtest::zlib_wrap(w.finish());
  for (int i = 0; i < 4; ++i) z.push_back(static_cast<unsigned char>(rng()));  // a trailer
  return z;
}

// ---------------------------------------------------------------------------------------------
// Tests

// The decoded bytes equal the original with exactly enough room, and one byte less fails and
// produces nothing.
void expect_round_trip(const bytes& plain, const bytes& z) {
  outcome r = run(z, plain.size());
  ASSERT_EQ(r.rc, 0);
  ASSERT_EQ(r.produced, plain.size());
  ASSERT_TRUE(std::equal(plain.begin(), plain.end(), r.out.begin()));
  if (!plain.empty()) {
    r = run(z, plain.size() - 1);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.produced, 0u);
  }
}

std::string describe(const qmtest::zlib_case& c) {
  return "kind " + std::to_string(static_cast<int>(c.k)) + " size " + std::to_string(c.n) +
         " seed " + std::to_string(c.seed) + " level " + std::to_string(c.c.level) + " strategy " +
         std::to_string(c.c.strategy) + " window " + std::to_string(c.c.window) + " memlevel " +
         std::to_string(c.c.memlevel);
}

// zlib streams of every level, strategy, window and memory level: the decoder gives the original
// back, and everything the reference gives at every capacity that matters.
TEST(InflateZlibStreams, EveryLevelStrategyAndWindow) {
  tally t;
  for (const qmtest::zlib_case& c : qmtest::zlib_sweep()) {
    SCOPED_TRACE(describe(c));
    const bytes plain = generate(c.k, c.n, c.seed);
    const bytes z = zcompress(plain, c.c.level, c.c.strategy, c.c.window, c.c.memlevel);
    expect_round_trip(plain, z);
    same_at_capacities(z, c.n, &t);
  }
  EXPECT_GT(t.complete, 1000);
}

// Streams of megabytes. Only the round trip is checked: at exactly enough room and one byte less,
// the original data says all that the reference decoder would (which is slow on this much).
TEST(InflateZlibStreams, Large) {
  for (const qmtest::zlib_case& c : qmtest::large_zlib_streams()) {
    SCOPED_TRACE(describe(c));
    const bytes plain = generate(c.k, c.n, c.seed);
    expect_round_trip(plain, zcompress(plain, c.c.level, c.c.strategy, c.c.window, c.c.memlevel));
  }
}

// Random blocks with codes up to 15 bits long (subtables), single-code codes, repeats in the
// headers, stored blocks between, and copies that reach back exactly to the first byte.
TEST(InflateDiff, GeneratedCodes) {
  std::mt19937 rng(2024);
  tally t;
  for (int iter = 0; iter < 3000; ++iter) {
    std::string plain;
    const bytes z = random_stream(rng, false, plain);
    SCOPED_TRACE("iteration " + std::to_string(iter));
    const outcome ours = run(z, plain.size());
    ASSERT_EQ(ours.rc, 0);
    ASSERT_EQ(ours.produced, plain.size());
    ASSERT_EQ(std::string(ours.out.begin(), ours.out.end()), plain);
    same_at_capacities(z, plain.size(), &t);
  }
  EXPECT_GT(t.complete, 2000);
  EXPECT_GT(t.failed, 2000);  // one byte short
}

// Streams whose copies may reach before the first byte: decoding ends there, with its bytes.
TEST(InflateDiff, DistancesTooFarBack) {
  std::mt19937 rng(99);
  tally t;
  for (int iter = 0; iter < 1500; ++iter) {
    std::string plain;
    const bytes z = random_stream(rng, true, plain);
    SCOPED_TRACE("iteration " + std::to_string(iter));
    ASSERT_TRUE(same(z, plain.size() + 10, &t));
    ASSERT_TRUE(same(z, plain.size() / 2));
  }
  EXPECT_GT(t.damaged, 100);
}

// Every cut of the input: through block headers, codes, extra bits and stored data, and through
// the last eight bytes where the bit buffer changes from word loads to byte loads.
TEST(InflateDiff, CutAtEveryPosition) {
  struct stream {
    bytes z;
    size_t n;  // bytes it decodes to
  };
  std::mt19937 rng(7);
  std::vector<stream> streams;
  for (int i = 0; i < 24; ++i) {
    std::string plain;
    bytes z = random_stream(rng, i % 4 == 0, plain);
    streams.push_back({std::move(z), plain.size()});
  }
  for (kind k : {kind::text, kind::skewed, kind::random}) {
    const bytes plain = generate(k, 1500, 50 + static_cast<uint32_t>(k));
    for (int level : {0, 1, 9}) streams.push_back({zcompress(plain, level, 0), plain.size()});
    streams.push_back({zcompress(plain, 6, Z_FIXED), plain.size()});
  }
  tally t;
  for (size_t s = 0; s < streams.size(); ++s) {
    const bytes& z = streams[s].z;
    for (size_t cut = 0; cut <= z.size(); ++cut) {
      SCOPED_TRACE("stream " + std::to_string(s) + " cut " + std::to_string(cut));
      const bytes part(z.begin(), z.begin() + static_cast<std::ptrdiff_t>(cut));
      ASSERT_TRUE(same(part, streams[s].n + 8, &t));
    }
  }
  EXPECT_GT(t.failed, 10000);
  EXPECT_GT(t.complete, 100);
}

// Capacities from none to a little more than needed.
TEST(InflateDiff, EveryCapacity) {
  std::mt19937 rng(11);
  for (int i = 0; i < 60; ++i) {
    std::string plain;
    const bytes z = random_stream(rng, i % 3 == 0, plain);
    // Every capacity near none and near the end; a sample of them between.
    const uint64_t n = plain.size();
    for (uint64_t cap = 0; cap <= n + 2; cap += (cap < 300 || cap + 300 > n) ? 1 : 1 + n / 200) {
      SCOPED_TRACE("stream " + std::to_string(i) + " cap " + std::to_string(cap));
      ASSERT_TRUE(same(z, cap));
    }
  }
}

// Damaged streams: bits flipped, bytes replaced, inserted and removed, tails cut, in valid zlib
// streams and in generated ones; and random bytes after a valid header.
TEST(InflateDiff, Mutations) {
  std::mt19937 rng(4242);
  tally t;
  for (int iter = 0; iter < 8000; ++iter) {
    bytes z;
    std::string plain;
    const uint32_t source = rng() % 8;
    if (source == 0) {
      z = {0x78, 0x9c};
      const size_t n = rng() % 120;
      for (size_t i = 0; i < n; ++i) z.push_back(static_cast<unsigned char>(rng()));
    } else if (source <= 3) {
      z = random_stream(rng, rng() % 2 == 0, plain);
    } else {
      static const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE,
                                       Z_FIXED};
      const bytes p = generate(static_cast<kind>(rng() % 5), rng() % 3000, rng());
      z = zcompress(p, static_cast<int>(rng() % 10), strategies[rng() % 5]);
    }
    if (source != 0) {
      const int changes = 1 + static_cast<int>(rng() % 4);
      for (int c = 0; c < changes && z.size() > 2; ++c) {
        const size_t at = 2 + rng() % (z.size() - 2);
        switch (rng() % 6) {
          case 0:
          case 1:
            z[at] ^= static_cast<unsigned char>(1u << (rng() % 8));
            break;
          case 2:
            z[at] = static_cast<unsigned char>(rng());
            break;
          case 3:
            z.insert(z.begin() + static_cast<std::ptrdiff_t>(at),
                     static_cast<unsigned char>(rng()));
            break;
          case 4:
            z.erase(z.begin() + static_cast<std::ptrdiff_t>(at));
            break;
          default:
            z.resize(at);
            break;
        }
      }
    }
    SCOPED_TRACE("iteration " + std::to_string(iter));
    const uint64_t cap = rng() % 4 == 0 ? rng() % 2000 : 20000;
    ASSERT_TRUE(same(z, cap, &t));
  }
  EXPECT_GT(t.complete, 500);
  EXPECT_GT(t.damaged, 2000);
  EXPECT_GT(t.failed, 2000);
}

struct edge_case {
  const char* name;
  bytes z;
};

// Hand-built streams at the corners of the decoder, each also cut at every position.
std::vector<edge_case> edge_cases() {
  std::vector<edge_case> v;
  const huff flit = qmtest::fixed_litlen(), fdist = qmtest::fixed_dist();
  auto fixed_with = [&](const char* name, auto body, int tail_bits) {
    bitwriter w;
    qmtest::put_block_header(w, true, 1);
    body(w);
    w.put(0, tail_bits);
    v.push_back({name, qmtest::zlib_wrap(w.finish())});
  };
  // The unused fixed distance codes match nothing once 15 bits have been read: with fewer bits
  // left the input has ended first.
  for (int tail : {0, 5, 9, 10, 11, 16, 40, 80}) {
    fixed_with(
        "fixed distance code 30",
        [&](bitwriter& w) {
          flit.put(w, 'q');
          flit.put(w, 257);
          w.put_code(0x1e, 5);
        },
        tail);
  }
  for (int tail : {0, 1, 8, 64}) {
    for (int sym : {286, 287}) {
      fixed_with(
          "fixed symbol 286/287", [&](bitwriter& w) { flit.put(w, 'q'), flit.put(w, sym); }, tail);
    }
  }
  for (int tail : {0, 3, 13, 14, 60}) {
    // Length 258 at distance 1 needs no extra bits; length 257 needs five, distance 32768 13.
    fixed_with(
        "long copies",
        [&](bitwriter& w) {
          flit.put(w, 'z');
          qmtest::put_copy(w, flit, fdist, 258, 1);
          qmtest::put_copy(w, flit, fdist, 257, 259);
          qmtest::put_copy(w, flit, fdist, 100, 7);
          qmtest::put_copy(w, flit, fdist, 9, 8);
          qmtest::put_copy(w, flit, fdist, 3, 2);
          flit.put(w, 256);
        },
        tail);
  }
  auto dynamic_with = [&](const char* name, const std::vector<int>& ll, const std::vector<int>& dl,
                          auto body, int tail_bits) {
    bitwriter w;
    qmtest::put_block_header(w, false, 1);
    flit.put(w, 'k');
    flit.put(w, 256);
    qmtest::put_block_header(w, true, 2);
    qmtest::put_dynamic_header(w, ll, dl);
    body(w);
    w.put(0, tail_bits);
    v.push_back({name, qmtest::zlib_wrap(w.finish())});
  };
  std::vector<int> one_eob(257, 0);
  one_eob[256] = 1;
  for (int tail : {0, 7, 14, 15, 30}) {
    // The unused half of a single-code literal/length code.
    dynamic_with(
        "single code, its unused half", one_eob, {0}, [](bitwriter& w) { w.put_code(1, 1); }, tail);
    // A length with an empty distance code: nothing matches.
    std::vector<int> ll(258, 0);
    ll[256] = ll[257] = 1;
    dynamic_with(
        "empty distance code", ll, {0}, [](bitwriter& w) { w.put_code(1, 1); }, tail);
  }
  {
    // 15-bit codes under a 10-bit prefix, with the extra bits right at the end of the input.
    std::vector<int> ll(286, 0);
    int l = 1;
    for (int s = 0; s < 14; ++s) ll[static_cast<size_t>(s)] = l++;
    ll[14] = 15;
    ll[256] = 15;  // shares the deepest level with symbol 14: the code is complete
    const huff lit(ll);
    std::vector<int> dl(30, 0);
    for (int s = 0; s < 14; ++s) dl[static_cast<size_t>(s)] = s + 1;
    dl[29] = 14;
    const huff dist(dl);
    for (int tail : {0, 1, 12, 13, 20}) {
      // ll has no length symbol: only literals and the end; a second table tests the distances.
      dynamic_with(
          "15-bit literal codes", ll, dl,
          [&](bitwriter& w) {
            for (int s : {14, 0, 13, 14, 7}) lit.put(w, s);
            lit.put(w, 256);
          },
          tail);
    }
    std::vector<int> ll2(286, 0);
    ll2['a'] = 2;
    ll2[256] = 2;
    ll2[284] = 2;
    ll2[285] = 3;
    ll2[257] = 3;
    const huff lit2(ll2);
    for (int tail : {0, 4, 13, 27, 40}) {
      dynamic_with(
          "14-bit distance code 29 and its 13 extra bits", ll2, dl,
          [&](bitwriter& w) {
            lit2.put(w, 'a');
            qmtest::put_copy(w, lit2, dist, 258, 1);
            qmtest::put_copy(w, lit2, dist, 227, 100);
            lit2.put(w, 284);
            w.put(31, 5);  // length 258 through symbol 284
            dist.put(w, 29);
            w.put(8191, 13);  // distance 32768: too far back
          },
          tail);
    }
  }
  // Headers: an empty code-length code, a repeat before any length, repeats past the end.
  auto header = [&](const char* name, auto body) {
    bitwriter w;
    qmtest::put_block_header(w, false, 0);
    w.align();
    w.put(2, 16).put(0xfffd, 16).put_byte('o').put_byte('k');
    qmtest::put_block_header(w, true, 2);
    body(w);
    v.push_back({name, qmtest::zlib_wrap(w.finish())});
  };
  for (int tail : {0, 7, 15, 16, 40}) {
    header("empty code-length code",
           [&](bitwriter& w) { w.put(0, 5).put(0, 5).put(15, 4).put(0, 3 * 19).put(0, tail); });
    header("repeat before any length", [&](bitwriter& w) {
      qmtest::put_dynamic_header(w, 257, 1, qmtest::default_cl_lengths(), 19, {{16, 0}});
      w.put(0, tail);
    });
    header("repeat past the end", [&](bitwriter& w) {
      qmtest::put_dynamic_header(w, 257, 1, qmtest::default_cl_lengths(), 19,
                                 {{18, 127}, {18, 127}, {17, 7}});
      w.put(0, tail);
    });
  }
  header("too many codes", [](bitwriter& w) { w.put(31, 5).put(31, 5).put(0, 4); });
  // An empty code-length code reached with the bit buffer at every fill (the literals before it
  // and the number of code-length lengths move where the buffer stands): the first length then
  // matches no code, which is damage when 15 bits follow, however few the buffer still holds.
  for (int hclen = 0; hclen < 16; ++hclen) {
    for (int k = 0; k < 16; ++k) {
      bitwriter w;
      qmtest::put_block_header(w, false, 1);
      for (int i = 0; i < k; ++i) flit.put(w, i % 3 == 0 ? 0xff : 'a');  // 9 and 8 bits
      flit.put(w, 256);
      qmtest::put_block_header(w, true, 2);
      w.put(0, 5).put(0, 5).put(static_cast<uint32_t>(hclen), 4).put(0, 3 * (hclen + 4));
      w.put(0, 64);
      v.push_back({"empty code-length code after a fixed block", qmtest::zlib_wrap(w.finish())});
    }
  }
  // Stored blocks: LEN 0, NLEN wrong, LEN bytes missing, and a stored block after bits that
  // end mid-byte.
  {
    bitwriter w;
    put_stored(w, false, "");
    put_stored(w, false, "abc");
    qmtest::put_block_header(w, false, 1);
    flit.put(w, 'x');
    flit.put(w, 256);
    put_stored(w, true, "after a fixed block");
    v.push_back({"stored blocks", qmtest::zlib_wrap(w.finish())});
  }
  {
    bitwriter w;
    qmtest::put_block_header(w, true, 0);
    w.align();
    w.put(5, 16).put(0xfffa ^ 0x0100, 16).put(0x41, 8);
    v.push_back({"stored NLEN wrong", qmtest::zlib_wrap(w.finish())});
  }
  for (int type : {0, 1, 2, 3}) {
    bitwriter w;
    qmtest::put_block_header(w, false, 1);
    flit.put(w, 'y');
    flit.put(w, 256);
    qmtest::put_block_header(w, true, type);
    w.put(0, 20);
    v.push_back({"second block of each type over zeros", qmtest::zlib_wrap(w.finish())});
  }
  return v;
}

TEST(InflateDiff, EdgeStreams) {
  tally t;
  for (const edge_case& c : edge_cases()) {
    SCOPED_TRACE(c.name);
    for (size_t cut = 0; cut <= c.z.size(); ++cut) {
      const bytes part(c.z.begin(), c.z.begin() + static_cast<std::ptrdiff_t>(cut));
      ASSERT_TRUE(same(part, 2000, &t)) << "cut at " << cut;
      ASSERT_TRUE(same(part, 1)) << "cut at " << cut;
    }
  }
  EXPECT_GT(t.damaged, 30);
  EXPECT_GT(t.failed, 300);
}

TEST(InflateDiff, HeaderAndCapacityLimit) {
  const bytes headers[] = {{},
                           {0x78},
                           {0x78, 0x9c},
                           {0x78, 0x9c, 0x03, 0x00},
                           {0x78, 0xbc, 0x03, 0x00},
                           {0x79, 0x9c, 0x03, 0x00},
                           {0xf8, 0x00, 0x03, 0x00},
                           {0x08, 0x20, 0x03, 0x00}};
  for (const bytes& z : headers) {
    for (uint64_t cap : {0, 1, 4}) ASSERT_TRUE(same(z, cap));
  }
  // The largest capacity is accepted, one more is refused; the decoders write only what the
  // stream produces, so a small block stands for the large one.
  const unsigned char z[] = {0x78, 0x9c, 0x4b, 0x04, 0x00};  // fixed block: 'a', end
  for (uint64_t cap : {qm::kInflateMaxCap, qm::kInflateMaxCap + 1}) {
    unsigned char ours[4] = {}, ref[4] = {};
    uint64_t pa = 9, pb = 9;
    const int ra = qm::inflate_decompress(z, sizeof z, ours, cap, &pa);
    const int rb = qmref::inflate_decompress(z, sizeof z, ref, cap, &pb);
    EXPECT_EQ(ra, rb);
    EXPECT_EQ(pa, pb);
    EXPECT_EQ(std::memcmp(ours, ref, sizeof ours), 0);
    EXPECT_EQ(ra, cap == qm::kInflateMaxCap ? 0 : -1);
  }
}

}  // namespace
