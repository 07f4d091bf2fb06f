// Tests of the DEFLATE decoder: hand-built streams for every block type and failure, and zlib
// as a control over cut and damaged streams. (The sweep of zlib streams at every level and
// strategy is in inflate_diff_test.cpp, where each is checked against the reference decoder too.)
#include "inflate/inflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/inflate_bits.h"
#include "support/inflate_data.h"

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
using qmtest::zlib_config;

// The produced bytes of a successful call.
std::string produced_text(const outcome& r) {
  return std::string(r.out.begin(), r.out.begin() + static_cast<std::ptrdiff_t>(r.produced));
}

// ---------------------------------------------------------------------------------------------
// Hand-built streams

const huff& flit() {
  static const huff h = qmtest::fixed_litlen();
  return h;
}
const huff& fdist() {
  static const huff h = qmtest::fixed_dist();
  return h;
}

// A fixed block holding the literals of s, then its end-of-block code.
void put_fixed_literals(bitwriter& w, bool final, std::string_view s) {
  qmtest::put_block_header(w, final, 1);
  for (unsigned char c : s) flit().put(w, c);
  flit().put(w, 256);
}

// Lengths of a literal/length code: the given symbols with the given lengths, 257 entries or more.
std::vector<int> lengths_of(int n, std::initializer_list<std::pair<int, int>> sym_len) {
  std::vector<int> l(static_cast<size_t>(n), 0);
  for (auto [s, len] : sym_len) l[static_cast<size_t>(s)] = len;
  return l;
}

struct built_case {
  const char* name;
  bytes z;
  int rc;                   // expected result with a generous capacity
  std::string want;         // expected produced bytes when rc is 0
  bool all_needed = false;  // every byte is needed: any cut gives -1
};

std::vector<built_case> built_cases() {
  std::vector<built_case> v;
  auto add = [&](const char* name, bytes z, int rc, std::string want, bool all_needed) {
    v.push_back({name, std::move(z), rc, std::move(want), all_needed});
  };

  add("empty fixed block", {0x78, 0x9c, 0x03, 0x00}, 0, "", true);
  add("window size 15 in the header is accepted", {0xf8, 0x9c, 0x03, 0x00}, 0, "", true);
  add("check bits are not looked at", {0x78, 0x00, 0x03, 0x00}, 0, "", true);
  add("preset dictionary flag", {0x78, 0xbc, 0x03, 0x00}, -1, "", false);
  add("compression method 9", {0x79, 0x9c, 0x03, 0x00}, -1, "", false);
  add("compression method 7", {0x77, 0x9c, 0x03, 0x00}, -1, "", false);
  add("one byte of source", {0x78}, -1, "", false);
  add("no source", {}, -1, "", false);
  add("header only", {0x78, 0x9c}, -1, "", false);
  add("data after the final block is ignored", {0x78, 0x9c, 0x03, 0x00, 0xff, 0xff, 0xff}, 0, "",
      false);

  {
    bitwriter w;
    put_fixed_literals(w, true, "Hello, fixed codes!");
    add("fixed literals", qmtest::zlib_wrap(w.finish()), 0, "Hello, fixed codes!", true);
  }
  {
    bitwriter w;
    put_stored(w, true, "");
    add("stored block of length 0", qmtest::zlib_wrap(w.finish()), 0, "", true);
  }
  {
    bitwriter w;
    put_stored(w, false, "stored ");
    put_stored(w, false, "");
    put_fixed_literals(w, false, "fixed ");
    put_stored(w, true, "end");
    add("stored and fixed blocks", qmtest::zlib_wrap(w.finish()), 0, "stored fixed end", true);
  }
  {
    bitwriter w;
    put_stored(w, false, "abc");
    put_stored(w, true, "def", 0xfffe);
    add("stored NLEN wrong", qmtest::zlib_wrap(w.finish()), 0, "abc", false);
  }
  {
    bitwriter w;
    put_stored(w, true, "abc", 0xfeff);
    add("stored NLEN wrong in its high byte", qmtest::zlib_wrap(w.finish()), 0, "", false);
  }
  {
    bitwriter w;
    put_stored(w, true, "abcde");
    bytes z = qmtest::zlib_wrap(w.finish());
    z.resize(z.size() - 1);
    add("stored data cut", z, -1, "", false);
    z.resize(2 + 1 + 3);
    add("stored header cut", z, -1, "", false);
  }
  {
    bitwriter w;
    put_fixed_literals(w, false, "xy");
    qmtest::put_block_header(w, true, 3);
    add("block type 3 after a block", qmtest::zlib_wrap(w.finish()), 0, "xy", false);
  }
  {
    bitwriter w;
    put_fixed_literals(w, false, "a");
    qmtest::put_block_header(w, true, 1);
    qmtest::put_copy(w, flit(), fdist(), 258, 1);
    flit().put(w, 256);
    add("distance 1 length 258", qmtest::zlib_wrap(w.finish()), 0, std::string(259, 'a'), true);
  }
  {
    bitwriter w;
    qmtest::put_block_header(w, true, 1);
    for (char c : std::string("abc")) flit().put(w, static_cast<unsigned char>(c));
    qmtest::put_copy(w, flit(), fdist(), 10, 3);   // overlapping copy: abcabcabca
    qmtest::put_copy(w, flit(), fdist(), 3, 13);   // reaches back to the first byte
    qmtest::put_copy(w, flit(), fdist(), 227, 1);  // length symbol 284 with extra 0
    qmtest::put_copy(w, flit(), fdist(), 257, 2);  // length symbol 284 with extra 30
    flit().put(w, 256);
    add("copies of several lengths", qmtest::zlib_wrap(w.finish()), 0,
        "abcabcabcabca"
        "abc" +
            std::string(227, 'c') + std::string(257, 'c'),
        true);
  }
  {
    bitwriter w;
    qmtest::put_block_header(w, true, 1);
    flit().put(w, 'a');
    flit().put(w, 'b');
    qmtest::put_copy(w, flit(), fdist(), 3, 3);
    flit().put(w, 256);
    add("distance beyond the output", qmtest::zlib_wrap(w.finish()), 0, "ab", false);
  }
  {
    bitwriter w;
    qmtest::put_block_header(w, true, 1);
    qmtest::put_copy(w, flit(), fdist(), 3, 1);
    flit().put(w, 256);
    add("copy before any output", qmtest::zlib_wrap(w.finish()), 0, "", false);
  }
  for (int sym : {286, 287}) {
    bitwriter w;
    qmtest::put_block_header(w, true, 1);
    flit().put(w, 'q');
    flit().put(w, sym);
    w.put(0, 16);
    add(sym == 286 ? "fixed symbol 286" : "fixed symbol 287", qmtest::zlib_wrap(w.finish()), 0, "q",
        false);
  }
  {
    // The two unused 5-bit fixed distance codes, 11110 and 11111, match no code at all.
    bitwriter w;
    qmtest::put_block_header(w, true, 1);
    flit().put(w, 'q');
    flit().put(w, 257);
    w.put_code(0x1f, 5).put(0, 16);
    add("fixed distance code 31", qmtest::zlib_wrap(w.finish()), 0, "q", false);
  }
  {
    bitwriter w;
    qmtest::put_block_header(w, true, 2);
    qmtest::put_dynamic_header(w, lengths_of(257, {{256, 1}}), {0});
    w.put_code(0, 1);
    add("dynamic: end-of-block as a single code of length 1", qmtest::zlib_wrap(w.finish()), 0, "",
        true);
  }
  {
    // 'a' 0, EOB 10, length 257 11; one distance code of length 1.
    bitwriter w;
    qmtest::put_block_header(w, true, 2);
    const huff lit(lengths_of(257 + 1, {{'a', 1}, {256, 2}, {257, 2}}));
    const huff dist({1});
    qmtest::put_dynamic_header(w, lit.lengths, dist.lengths);
    lit.put(w, 'a');
    qmtest::put_copy(w, lit, dist, 3, 1);
    lit.put(w, 256);
    add("dynamic: single distance code of length 1", qmtest::zlib_wrap(w.finish()), 0, "aaaa",
        true);
  }
  {
    // A literal/length code of 286 and a distance code of 30, the most a header may declare.
    std::vector<int> ll(286, 9);
    for (int s = 0; s < 226; ++s) ll[static_cast<size_t>(s)] = 8;
    std::vector<int> dl(30, 5);
    dl[0] = dl[29] = 4;
    const huff lit(ll), dist(dl);
    bitwriter w;
    qmtest::put_block_header(w, true, 2);
    qmtest::put_dynamic_header(w, ll, dl);
    for (char c : std::string("xyz")) lit.put(w, static_cast<unsigned char>(c));
    qmtest::put_copy(w, lit, dist, 258, 3);
    qmtest::put_copy(w, lit, dist, 5, 1);
    lit.put(w, 256);
    std::string want = "xyz";
    for (int i = 0; i < 258 + 5; ++i) want += want[want.size() - (i < 258 ? 3 : 1)];
    add("dynamic: 286 and 30 codes", qmtest::zlib_wrap(w.finish()), 0, want, true);
  }
  {
    // Repeats: 18 and 17 for runs of zeros, 16 for the previous length, ending exactly at the end.
    // 'a'..'d' 3 bits, 'e' and end-of-block 2 bits.
    bitwriter w;
    qmtest::put_block_header(w, true, 2);
    qmtest::put_dynamic_header(
        w, 257, 3, qmtest::default_cl_lengths(), 19,
        {{18, 86}, {3}, {16, 0}, {2}, {18, 127}, {17, 7}, {17, 3}, {2}, {17, 0}});
    const huff lit(lengths_of(257, {{'a', 3}, {'b', 3}, {'c', 3}, {'d', 3}, {'e', 2}, {256, 2}}));
    for (char c : std::string("badcee")) lit.put(w, static_cast<unsigned char>(c));
    lit.put(w, 256);
    add("dynamic: repeat codes", qmtest::zlib_wrap(w.finish()), 0, "badcee", true);
  }
  {
    // A dynamic block whose code-length code leaves out trailing positions (HCLEN below 19).
    std::vector<int> cl(19, 0);
    cl[0] = 2;
    cl[1] = 2;
    cl[18] = 2;
    cl[17] = 2;
    bitwriter w;
    qmtest::put_block_header(w, true, 2);
    // Positions in order: 16 17 18 0 8 7 9 6 10 5 11 4 12 3 13 2 14 1 -> 18 of them.
    qmtest::put_dynamic_header(w, 257, 1, cl, 18, {{18, 127}, {18, 106}, {1}, {1}, {0}});
    const huff lit(lengths_of(257, {{255, 1}, {256, 1}}));
    lit.put(w, 255);
    lit.put(w, 256);
    add("dynamic: short code-length header", qmtest::zlib_wrap(w.finish()), 0, "\xff", true);
  }

  // Damaged dynamic headers, each after a first block, so that the kept bytes show.
  auto dynamic_after = [&](const char* name, auto body) {
    bitwriter w;
    put_fixed_literals(w, false, "kept");
    qmtest::put_block_header(w, true, 2);
    body(w);
    w.put(0, 32);  // plenty of bits, so the error is met before the input ends
    add(name, qmtest::zlib_wrap(w.finish()), 0, "kept", false);
  };
  dynamic_after("dynamic: 287 literal/length codes", [](bitwriter& w) { w.put(30, 5).put(0, 5); });
  dynamic_after("dynamic: 31 distance codes", [](bitwriter& w) { w.put(0, 5).put(30, 5); });
  dynamic_after("dynamic: incomplete code-length code", [](bitwriter& w) {
    std::vector<int> cl(19, 0);
    cl[0] = 2;
    cl[8] = 2;
    qmtest::put_dynamic_header(w, 257, 1, cl, 19, {});
  });
  dynamic_after("dynamic: over-subscribed code-length code", [](bitwriter& w) {
    std::vector<int> cl(19, 0);
    cl[0] = cl[1] = cl[2] = 1;
    w.put(0, 5).put(0, 5).put(15, 4);
    for (int i = 0; i < 19; ++i) w.put(static_cast<uint32_t>(cl[qmtest::kClOrder[i]]), 3);
  });
  dynamic_after("dynamic: empty code-length code",
                [](bitwriter& w) { w.put(0, 5).put(0, 5).put(15, 4).put(0, 3 * 19); });
  dynamic_after("dynamic: repeat before any length", [](bitwriter& w) {
    qmtest::put_dynamic_header(w, 257, 1, qmtest::default_cl_lengths(), 19, {{16, 0}});
  });
  dynamic_after("dynamic: repeat past the end", [](bitwriter& w) {
    qmtest::put_dynamic_header(w, 257, 1, qmtest::default_cl_lengths(), 19, {{18, 127}, {18, 127}});
  });
  dynamic_after("dynamic: previous-length repeat past the end", [](bitwriter& w) {
    qmtest::put_dynamic_header(w, 257, 1, qmtest::default_cl_lengths(), 19,
                               {{18, 127}, {18, 105}, {9}, {16, 3}});
  });
  dynamic_after("dynamic: no end-of-block code", [](bitwriter& w) {
    qmtest::put_dynamic_header(w, lengths_of(257, {{'a', 1}, {'b', 1}}), {0});
  });
  dynamic_after("dynamic: incomplete literal/length code of two codes", [](bitwriter& w) {
    qmtest::put_dynamic_header(w, lengths_of(257, {{'a', 2}, {256, 2}}), {0});
  });
  dynamic_after("dynamic: over-subscribed literal/length code", [](bitwriter& w) {
    qmtest::put_dynamic_header(w, lengths_of(257, {{'a', 1}, {'b', 1}, {256, 1}}), {0});
  });
  dynamic_after("dynamic: incomplete distance code of two codes", [](bitwriter& w) {
    qmtest::put_dynamic_header(w, lengths_of(257, {{'a', 1}, {256, 1}}), {2, 2});
  });
  dynamic_after("dynamic: over-subscribed distance code", [](bitwriter& w) {
    qmtest::put_dynamic_header(w, lengths_of(257, {{'a', 1}, {256, 1}}), {1, 1, 1});
  });
  dynamic_after("dynamic: the unused code of a single-code literal/length code", [](bitwriter& w) {
    qmtest::put_dynamic_header(w, lengths_of(257, {{256, 1}}), {0});
    w.put_code(0x7fff, 15);
  });
  dynamic_after("dynamic: a length with an empty distance code", [](bitwriter& w) {
    const huff lit(lengths_of(258, {{256, 1}, {257, 1}}));
    qmtest::put_dynamic_header(w, lit.lengths, {0});
    lit.put(w, 257);
    w.put(0, 15);
  });
  {
    bitwriter w;
    put_fixed_literals(w, false, "ab");
    qmtest::put_block_header(w, true, 2);
    w.put(0, 5).put(0, 3);
    add("dynamic header cut", qmtest::zlib_wrap(w.finish()), -1, "", false);
  }
  {
    // The window is the whole output: a copy reaches 32768 bytes back into a stored block.
    std::string big(40000, '\0');
    std::mt19937 rng(5);
    for (char& c : big) c = static_cast<char>('a' + rng() % 26);
    bitwriter w;
    put_stored(w, false, big);
    qmtest::put_block_header(w, true, 1);
    qmtest::put_copy(w, flit(), fdist(), 258, 32768);
    qmtest::put_copy(w, flit(), fdist(), 100, 24577 + 8191 - 1);
    flit().put(w, 256);
    std::string want = big;
    for (int i = 0; i < 258; ++i) want += want[want.size() - 32768];
    for (int i = 0; i < 100; ++i) want += want[want.size() - 32767];
    add("copy across blocks at distance 32768", qmtest::zlib_wrap(w.finish()), 0, want, true);
  }
  return v;
}

// Every position of a short stream; a sample and the last few bytes of a long one.
std::vector<size_t> cut_points(size_t size) {
  std::vector<size_t> cuts;
  const size_t step = size > 512 ? 97 : 1;
  for (size_t cut = 0; cut < size; cut += step) cuts.push_back(cut);
  for (size_t back = 3; back >= 1; --back) {
    if (size >= back) cuts.push_back(size - back);
  }
  return cuts;
}

TEST(Inflate, BuiltStreams) {
  for (const built_case& c : built_cases()) {
    SCOPED_TRACE(c.name);
    const uint64_t room = c.want.size() + 1000;
    outcome r = run(c.z, room);
    ASSERT_EQ(r.rc, c.rc);
    if (c.rc != 0) {
      EXPECT_EQ(r.produced, 0u);
      continue;
    }
    EXPECT_EQ(produced_text(r), c.want);

    // Exactly the room needed is enough; one byte less spoils the whole result.
    r = run(c.z, c.want.size());
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(produced_text(r), c.want);
    if (!c.want.empty()) {
      r = run(c.z, c.want.size() - 1);
      EXPECT_EQ(r.rc, -1);
      EXPECT_EQ(r.produced, 0u);
    }

    // A stream that needs all its bytes fails at every cut (at a sample of cuts for long ones).
    if (c.all_needed) {
      for (size_t cut : cut_points(c.z.size())) {
        r = run(bytes(c.z.begin(), c.z.begin() + static_cast<std::ptrdiff_t>(cut)), room);
        EXPECT_EQ(r.rc, -1) << "cut at " << cut;
        EXPECT_EQ(r.produced, 0u) << "cut at " << cut;
      }
    }
  }
}

TEST(Inflate, CutStreamFailsAlthoughBytesWereWritten) {
  bitwriter w;
  put_fixed_literals(w, false, "first block, complete");
  put_fixed_literals(w, true, "second block, cut");
  bytes z = qmtest::zlib_wrap(w.finish());
  z.resize(z.size() - 3);
  const outcome r = run(z, 100);
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.produced, 0u);
  EXPECT_TRUE(r.wrote);
}

TEST(Inflate, CapacityLimit) {
  const unsigned char z[] = {0x78, 0x9c, 0x03, 0x00};
  unsigned char dst[4];
  uint64_t produced = 99;
  EXPECT_EQ(qm::inflate_decompress(z, sizeof z, dst, qm::kInflateMaxCap, &produced), 0);
  EXPECT_EQ(produced, 0u);
  EXPECT_EQ(qm::kInflateMaxCap, 0x40000000u);
  // Above the limit the call fails before it reads a single byte of the source.
  produced = 99;
  EXPECT_EQ(qm::inflate_decompress(nullptr, 2, dst, qm::kInflateMaxCap + 1, &produced), -1);
  EXPECT_EQ(produced, 0u);
  produced = 99;
  EXPECT_EQ(qm::inflate_decompress(z, sizeof z, dst, UINT64_MAX, &produced), -1);
  EXPECT_EQ(produced, 0u);
}

TEST(Inflate, ZeroCapacity) {
  const outcome empty = run({0x78, 0x9c, 0x03, 0x00}, 0);
  EXPECT_EQ(empty.rc, 0);
  EXPECT_EQ(empty.produced, 0u);
  bitwriter w;
  put_fixed_literals(w, true, "x");
  const outcome one = run(qmtest::zlib_wrap(w.finish()), 0);
  EXPECT_EQ(one.rc, -1);
  EXPECT_EQ(one.produced, 0u);
}

TEST(Inflate, TrailerIsNotChecked) {
  const std::string plain = "a zlib stream with its Adler-32 value, then without, then wrong";
  bytes z(compressBound(plain.size()));
  uLongf zlen = z.size();
  ASSERT_EQ(compress(z.data(), &zlen, reinterpret_cast<const Bytef*>(plain.data()), plain.size()),
            Z_OK);
  z.resize(zlen);
  const bytes variants[] = {z, bytes(z.begin(), z.end() - 4), bytes(z.begin(), z.end() - 2), [&] {
                              bytes b = z;
                              b.back() ^= 0x55;
                              b[b.size() - 4] ^= 0x01;
                              return b;
                            }()};
  for (const bytes& v : variants) {
    const outcome r = run(v, plain.size());
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(produced_text(r), plain);
  }
}

// ---------------------------------------------------------------------------------------------
// Decoding into blocks that grow

// The block sizes inflate_growing asks for and its outcome. Each block is a fresh heap block of
// exactly that size (the sanitizer build catches a write past it); blocks of more than
// `real_up_to` bytes are not allocated but stand in as a pointer to one byte, for streams whose
// header is refused before anything is written.
struct growth {
  int rc = 0;
  uint64_t produced = 0;
  std::vector<uint64_t> caps;
  std::string text;
};

growth grow(const bytes& z, uint64_t first, uint64_t real_up_to, uint64_t null_from = UINT64_MAX) {
  growth g;
  bytes block;
  unsigned char stand_in = 0;
  g.rc = qm::inflate_growing(
      z.data(), z.size(), first,
      [&](uint64_t cap) -> unsigned char* {
        g.caps.push_back(cap);
        if (cap >= null_from) return nullptr;
        if (cap > real_up_to) return &stand_in;
        block.assign(cap, 0xA5);
        return block.data();
      },
      &g.produced);
  if (g.rc == 0) g.text.assign(block.begin(), block.begin() + static_cast<ptrdiff_t>(g.produced));
  return g;
}

TEST(InflateGrowing, BlockSizes) {
  bitwriter w;
  put_fixed_literals(w, true, std::string(1000, 'q'));
  const bytes z = qmtest::zlib_wrap(w.finish());
  const bytes refused = {0x79, 0x9c};  // method 9: refused at once, in a block of any size
  constexpr uint64_t kLimit = qm::kInflateRetryLimit, kMax = qm::kInflateMaxCap;
  struct growth_case {
    const char* what;
    const bytes& z;
    uint64_t first;
    uint64_t null_from;
    int rc;
    std::vector<uint64_t> caps;
  };
  const growth_case cases[] = {
      {"fits at once", z, 1000, UINT64_MAX, 0, {1000}},
      {"grows fourfold until it fits", z, 10, UINT64_MAX, 0, {10, 40, 160, 640, 2560}},
      {"no block", z, 10, 160, -1, {10, 40, 160}},
      {"a first block above the decoder's limit is not tried", z, kMax + 1, UINT64_MAX, -1, {}},
      {"a first block at the limit is", refused, kMax, UINT64_MAX, -1, {kMax}},
      {"the last retry follows a block at the retry limit",
       refused,
       kLimit,
       UINT64_MAX,
       -1,
       {kLimit, 4 * kLimit}},
      {"no retry after a block above it", refused, kLimit + 1, UINT64_MAX, -1, {kLimit + 1}},
      {"from one byte",
       refused,
       1,
       UINT64_MAX,
       -1,
       {1, 4, 16, 64, 256, 1024, 4096, 16384, 65536, 262144, 1048576, 4194304, 16777216, 67108864,
        268435456}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const growth g = grow(c.z, c.first, 1u << 20, c.null_from);
    EXPECT_EQ(g.rc, c.rc);
    EXPECT_EQ(g.caps, c.caps);
    if (c.rc == 0) {
      EXPECT_EQ(g.produced, 1000u);
      EXPECT_EQ(g.text, std::string(1000, 'q'));
    } else {
      EXPECT_EQ(g.produced, 0u);
    }
  }
  EXPECT_EQ(kLimit, 268435455u);
}

// ---------------------------------------------------------------------------------------------
// zlib as a control

// Cut anywhere inside the compressed data, a stream fails and produces nothing; without only its
// Adler-32 trailer it still decodes.
TEST(InflateVsZlib, CutStreams) {
  uint32_t seed = 200;
  for (kind k : {kind::random, kind::text, kind::runs, kind::mixed}) {
    for (const zlib_config& c :
         {zlib_config{0, Z_DEFAULT_STRATEGY}, zlib_config{6, Z_DEFAULT_STRATEGY},
          zlib_config{9, Z_FIXED}, zlib_config{4, Z_HUFFMAN_ONLY}}) {
      const bytes plain = generate(k, 3000 + seed % 5000, seed);
      ++seed;
      const bytes z = zcompress(plain, c.level, c.strategy);
      const size_t data_end = z.size() - 4;
      const size_t step = data_end > 600 ? data_end / 300 : 1;
      for (size_t cut = 0; cut < data_end; cut += step) {
        const outcome r =
            run(bytes(z.begin(), z.begin() + static_cast<std::ptrdiff_t>(cut)), plain.size());
        ASSERT_EQ(r.rc, -1) << "cut at " << cut << " of " << data_end;
        ASSERT_EQ(r.produced, 0u);
      }
      const outcome whole =
          run(bytes(z.begin(), z.begin() + static_cast<std::ptrdiff_t>(data_end)), plain.size());
      EXPECT_EQ(whole.rc, 0);
      EXPECT_EQ(whole.produced, plain.size());
    }
  }
}

struct zlib_outcome {
  int ret;
  bytes out;
};

// zlib's raw inflate over the same DEFLATE data, all input and room given at once.
zlib_outcome zlib_raw_inflate(const bytes& z, size_t cap) {
  z_stream zs{};
  EXPECT_EQ(inflateInit2(&zs, -15), Z_OK);
  zlib_outcome r;
  r.out.resize(cap + 1);
  zs.next_in = const_cast<Bytef*>(z.data() + 2);
  zs.avail_in = static_cast<uInt>(z.size() - 2);
  zs.next_out = r.out.data();
  zs.avail_out = static_cast<uInt>(r.out.size());
  r.ret = inflate(&zs, Z_FINISH);
  r.out.resize(zs.total_out);
  inflateEnd(&zs);
  return r;
}

// Damaged streams: random changes to valid streams and random bytes. Where zlib decodes the data
// to its end, so must this decoder; where this decoder succeeds, it produced what zlib produced
// up to its end or its error; where it fails, zlib did not reach the end either.
TEST(InflateVsZlib, DamagedStreams) {
  std::mt19937 rng(4242);
  int ok_same = 0, damaged_same = 0, failed = 0;
  for (int iter = 0; iter < 4000; ++iter) {
    bytes z;
    if (iter % 5 == 4) {
      z = {0x78, 0x9c};
      const size_t n = rng() % 200;
      for (size_t i = 0; i < n; ++i) z.push_back(static_cast<unsigned char>(rng()));
    } else {
      const auto k = static_cast<kind>(rng() % 4);
      const bytes plain = generate(k, rng() % 3000, rng());
      static const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE,
                                       Z_FIXED};
      z = zcompress(plain, static_cast<int>(rng() % 10), strategies[rng() % 5]);
      const int flips = 1 + static_cast<int>(rng() % 4);
      for (int f = 0; f < flips; ++f) {
        const size_t at = 2 + rng() % (z.size() - 2);
        if (rng() % 2) {
          z[at] ^= static_cast<unsigned char>(1u << (rng() % 8));
        } else {
          z[at] = static_cast<unsigned char>(rng());
        }
      }
    }
    // Damage may lengthen the output; a block that is too small fails here and stops zlib short of
    // the end, which the checks below accept.
    const size_t cap = 16384;
    const outcome ours = run(z, cap);
    const zlib_outcome ref = zlib_raw_inflate(z, cap);
    SCOPED_TRACE("iteration " + std::to_string(iter));
    ASSERT_LE(ours.produced, cap);
    if (ref.ret == Z_STREAM_END) {
      ASSERT_EQ(ours.rc, 0);
      ASSERT_EQ(ours.produced, ref.out.size());
      ASSERT_TRUE(std::equal(ref.out.begin(), ref.out.end(), ours.out.begin()));
      ++ok_same;
    } else if (ours.rc == 0) {
      const bytes got(ours.out.begin(),
                      ours.out.begin() + static_cast<std::ptrdiff_t>(ours.produced));
      if (ref.ret == Z_DATA_ERROR) {
        ASSERT_EQ(got, ref.out);
        ++damaged_same;
      } else {
        // zlib still wants input where this decoder met the damage: one is a prefix of the other.
        const size_t n = std::min(got.size(), ref.out.size());
        ASSERT_TRUE(
            std::equal(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(n), ref.out.begin()));
      }
    } else {
      ASSERT_EQ(ours.produced, 0u);
      ++failed;
    }
  }
  // The mix exercises all three outcomes.
  EXPECT_GT(ok_same, 0);
  EXPECT_GT(damaged_same, 100);
  EXPECT_GT(failed, 0);
}

// The fixed codes are shared by every call: eight threads decoding fixed blocks at once all get
// their own data back.
TEST(InflateThreads, FixedBlocksFromEightThreads) {
  std::vector<bytes> plains, zs;
  for (uint32_t i = 0; i < 16; ++i) {
    plains.push_back(generate(i % 2 ? kind::text : kind::mixed, 2000 + i * 1500, 900 + i));
    zs.push_back(zcompress(plains.back(), 6, Z_FIXED));
  }
  std::vector<int> failures(8, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      bytes dst;
      for (int round = 0; round < 5; ++round) {
        for (size_t i = 0; i < zs.size(); ++i) {
          const size_t j = (i + static_cast<size_t>(t)) % zs.size();
          dst.assign(plains[j].size(), 0);
          uint64_t produced = 0;
          const int rc =
              qm::inflate_decompress(zs[j].data(), zs[j].size(), dst.data(), dst.size(), &produced);
          if (rc != 0 || produced != plains[j].size() || dst != plains[j]) failures[t]++;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < 8; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

}  // namespace
