// DEFLATE decoder (RFC 1951) for zlib-wrapped data (RFC 1950), into one caller-supplied block.
//
// Huffman codes are decoded by table lookup: a primary table indexed by the next 10 bits of input
// (8 for distances, 7 for the code-length code) gives the symbol of every code that short at once,
// and points longer codes to a subtable indexed by their remaining bits. Bits come from a 64-bit
// buffer refilled eight bytes at a time while eight bytes of input remain, byte by byte at the
// end. Nothing is allocated: the tables of a dynamic block live on the stack, those of the fixed
// codes are built at compile time, so calls share nothing that changes.
//
// Error policy: running out of input or out of output spoils the whole result (-1, nothing
// produced); damaged compressed data after a valid start ends the decoding early and keeps the
// bytes produced before the damage (0). The window is the whole output of the call, not 32 KiB.
//
// The outcome is exactly that of decoding canonical codes one bit at a time: a code is taken only
// when all its bits are present, a bit string that matches no code counts as 15 bits read (as a
// bitwise decoder reads all 15 before it gives up), and the checks run in the same order (input
// before damage before room), so result, produced count and produced bytes are the same. Bytes
// of the destination past the produced count are scratch: while the output is far from the end
// of the block, copies are made in whole chunks that may run a few bytes ahead of the result,
// always within the capacity.
#include "inflate/inflate.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>

namespace qm {

namespace {

constexpr int kMaxBits = 15;       // longest code in any alphabet
constexpr int kMaxLitLen = 286;    // literal/length codes a dynamic header may declare
constexpr int kMaxDist = 30;       // distance codes a dynamic header may declare
constexpr int kFixedLitLen = 288;  // the fixed literal/length code, 286 and 287 included
constexpr int kNumCodeLen = 19;    // symbols of the code-length code
constexpr int kMaxMatch = 258;     // longest copy

// Results of the block decoders. Zero, kFull and kUnderrun are the normal outcomes; every negative
// value is a data error, which ends the decoding but keeps what was produced.
enum : int {
  kDone = 0,
  kFull = 1,              // the output block cannot hold the next literal, copy or stored block
  kUnderrun = 2,          // the input ended in the middle of something
  kErrBlockType = -1,     // block type 3
  kErrStoredLen = -2,     // NLEN is not the ones' complement of LEN
  kErrHeaderCounts = -3,  // more than 286 literal/length or 30 distance codes
  kErrCodeLenCode = -4,   // the code-length code is not complete
  kErrRepeatFirst = -5,   // a repeat of the previous length before any length
  kErrRepeatPast = -6,    // a repeat that runs past the declared number of lengths
  kErrNoEndCode = -7,     // the end-of-block symbol has no code
  kErrLitLenCode = -8,    // literal/length code over-subscribed or incomplete
  kErrDistCode = -9,      // distance code over-subscribed or incomplete
  kErrSymbol = -10,       // no code matches, or length symbol 286 or 287
  kErrDistance = -11,     // a distance that reaches back before the first output byte
};

// Base lengths and extra bits of length symbols 257 to 285 (RFC 1951, 3.2.5).
constexpr uint16_t lens[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                               31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint16_t lext[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                               2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
// Base distances and extra bits of distance symbols 0 to 29 (RFC 1951, 3.2.5).
constexpr uint16_t dists[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint16_t dext[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                               6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// Transmission order of the code-length code lengths (RFC 1951, 3.2.7).
constexpr uint16_t order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

static_assert(sizeof lens / sizeof lens[0] == 285 - 257 + 1);
static_assert(sizeof dists / sizeof dists[0] == kMaxDist);
static_assert(sizeof order / sizeof order[0] == kNumCodeLen);

// ---------------------------------------------------------------------------------------------
// Lookup tables

// Index bits of the primary tables, and the most entries a table with its subtables can need for
// any complete code (counted by exhaustive search over all codes, as zlib's "enough" program does:
// 288 symbols with a 10-bit primary table, 32 with 8 bits). Incomplete codes are accepted only
// when they have no code longer than one bit (or are the fixed distance code), so they never
// need a subtable.
constexpr int kLitBits = 10;
constexpr int kDistBits = 8;
constexpr int kCodeLenBits = 7;
constexpr int kLitEnough = 1334;
constexpr int kDistEnough = 402;
constexpr int kCodeLenEnough = 1 << kCodeLenBits;

// One table entry, 32 bits:
//   bits 0-3   bits that the entry takes from the input (see below)
//   bits 4-7   extra bits of a length or distance; the index bits of a subtable
//   bits 8-10  kind
//   bits 16-30 literal byte, base length or distance, code-length symbol, subtable start
//   bit 31     set for the kind kLiteral, so that the commonest test is one of the sign
// A symbol's entry takes its code length (in a subtable: the bits after the primary index). An
// entry for bits that match no code takes the bits that a bitwise decoder would read before it
// gives up: 15 in all. A subtable pointer takes the primary index bits.
enum : uint32_t {
  kLiteral = 0,   // a literal byte, or a symbol of the code-length code
  kLength = 1,    // a length (literal/length code) or a distance (distance code)
  kEnd = 2,       // end of block
  kSubtable = 3,  // a longer code: look up the following bits in the subtable
  kInvalid = 4,   // no code matches
  kBadSym = 5,    // literal/length symbols 286 and 287 of the fixed code
};

constexpr uint32_t kLiteralFlag = 0x80000000u;  // set in every kLiteral entry

constexpr uint32_t entry(uint32_t kind, uint32_t value, uint32_t bits, uint32_t extra) {
  return (kind == kLiteral ? kLiteralFlag : 0u) | value << 16 | kind << 8 | extra << 4 | bits;
}
constexpr uint32_t entry_bits(uint32_t e) {
  return e & 15u;
}
constexpr uint32_t entry_extra(uint32_t e) {
  return (e >> 4) & 15u;
}
constexpr uint32_t entry_kind(uint32_t e) {
  return (e >> 8) & 7u;
}
constexpr uint32_t entry_value(uint32_t e) {
  return (e >> 16) & 0x7fffu;
}
constexpr bool is_literal(uint32_t e) {
  return (e & kLiteralFlag) != 0;
}

struct lit_entries {
  constexpr uint32_t operator()(int sym, int bits) const {
    const auto b = static_cast<uint32_t>(bits);
    if (sym < 256) return entry(kLiteral, static_cast<uint32_t>(sym), b, 0);
    if (sym == 256) return entry(kEnd, 0, b, 0);
    if (sym > 285) return entry(kBadSym, 0, b, 0);
    return entry(kLength, lens[sym - 257], b, lext[sym - 257]);
  }
};
struct dist_entries {
  constexpr uint32_t operator()(int sym, int bits) const {
    return entry(kLength, dists[sym], static_cast<uint32_t>(bits), dext[sym]);
  }
};
struct codelen_entries {
  constexpr uint32_t operator()(int sym, int bits) const {
    return entry(kLiteral, static_cast<uint32_t>(sym), static_cast<uint32_t>(bits), 0);
  }
};

// Counts the symbols of each code length and checks the code as a canonical code must be: returns
// 0 for a complete code (or one without any codes), a negative number for an over-subscribed code,
// and otherwise the number of 15-bit codes left unused by an incomplete code.
constexpr int count_lengths(const uint16_t* length, int n, uint16_t* count) {
  // Two interleaved tallies: runs of equal lengths (the usual case) would otherwise make every
  // increment wait for the one before.
  uint16_t even[kMaxBits + 1] = {}, odd[kMaxBits + 1] = {};
  int sym = 0;
  for (; sym + 1 < n; sym += 2) {
    even[length[sym]]++;
    odd[length[sym + 1]]++;
  }
  if (sym < n) even[length[sym]]++;
  for (int len = 0; len <= kMaxBits; ++len)
    count[len] = static_cast<uint16_t>(even[len] + odd[len]);
  if (count[0] == n) return 0;
  int left = 1;  // codes of the current length still available
  for (int len = 1; len <= kMaxBits; ++len) {
    left <<= 1;
    left -= count[len];
    if (left < 0) return left;
  }
  return left;
}

// Bytes with their bits in reverse order.
struct byte_reversal {
  uint8_t r[256] = {};
  constexpr byte_reversal() {
    for (int i = 0; i < 256; ++i) {
      for (int b = 0; b < 8; ++b) r[i] |= static_cast<uint8_t>(((i >> b) & 1) << (7 - b));
    }
  }
};
constexpr byte_reversal kReversed;

// The n low bits (n at most 16) of code in reverse order: Huffman codes are packed starting with
// their most significant bit, while the bit buffer hands out the first bit read in its lowest
// place.
constexpr uint32_t reverse_bits(uint32_t code, int n) {
  const uint32_t r16 =
      static_cast<uint32_t>(kReversed.r[code & 0xff]) << 8 | kReversed.r[(code >> 8) & 0xff];
  return r16 >> (16 - n);
}

// Builds the lookup table of a code that count_lengths accepted (complete, empty, or incomplete
// without codes longer than the primary index) from the code lengths of symbols 0 to n-1.
// Canonical codes are handed out in order of length, then symbol; in that order the codes are
// also in order of their bit strings, so the codes under one primary prefix come one after another
// and the last of them is the longest, which sizes the prefix's subtable. Returns false only if
// the table would not fit, which the capacity rules out for every code that reaches here.
template <typename Make>
constexpr bool build_table(uint32_t* table, int capacity, int pbits, const uint16_t* length, int n,
                           const uint16_t* count, Make make) {
  uint16_t offs[kMaxBits + 2] = {};
  for (int len = 1; len <= kMaxBits; ++len) offs[len + 1] = offs[len] + count[len];
  uint16_t sorted[kFixedLitLen] = {};
  for (int sym = 0; sym < n; ++sym) {
    if (length[sym] != 0) sorted[offs[length[sym]]++] = static_cast<uint16_t>(sym);
  }
  const int nsorted = n - count[0];

  const int psize = 1 << pbits;
  // Bits that no code covers keep the invalid entry. A complete code covers every entry.
  int used = 0;  // 15-bit strings covered, out of 1 << 15
  for (int len = 1; len <= kMaxBits; ++len) used += count[len] << (kMaxBits - len);
  const bool complete = used == (1 << kMaxBits);

  // The primary table grows by doubling: while the codes of length l are entered, its first
  // 1 << l entries are the whole table as seen through l index bits (a code of length l fills one
  // of them); copying them up once makes it the table for l + 1 bits. Each entry is thus written
  // by a block copy rather than by a strided loop per code.
  int filled = 0;  // the first 1 << filled entries are final for codes of up to `filled` bits
  table[0] = entry(kInvalid, 0, kMaxBits, 0);
  auto grow_to = [&](int bits) {
    for (; filled < bits; ++filled) std::copy_n(table, 1 << filled, table + (1 << filled));
  };

  int next_free = psize;
  uint32_t prefix = ~0u;  // the primary index of the current subtable
  int sub = 0;            // its start
  int subbits = 0;        // its index bits
  uint32_t code = 0;
  int len = 0;
  for (int i = 0; i < nsorted; ++i) {
    const int sym = sorted[i];
    const int l = length[sym];
    code <<= (l - len);
    len = l;
    if (l <= pbits) {
      grow_to(l);
      table[reverse_bits(code, l)] = make(sym, l);
    } else {
      grow_to(pbits);
      const int rest = l - pbits;
      if ((code >> rest) != prefix) {
        prefix = code >> rest;
        // The longest code under this prefix: take codes until they fill the prefix's share.
        int share = 1 << (kMaxBits - pbits);
        int longest = l;
        for (int j = i; j < nsorted && share > 0; ++j) {
          longest = length[sorted[j]];
          share -= 1 << (kMaxBits - longest);
        }
        subbits = longest - pbits;
        sub = next_free;
        next_free += 1 << subbits;
        if (next_free > capacity) return false;
        for (int k = 0; !complete && k < (1 << subbits); ++k) {
          table[sub + k] = entry(kInvalid, 0, static_cast<uint32_t>(kMaxBits - pbits), 0);
        }
        table[reverse_bits(prefix, pbits)] =
            entry(kSubtable, static_cast<uint32_t>(sub), static_cast<uint32_t>(pbits),
                  static_cast<uint32_t>(subbits));
      }
      const uint32_t e = make(sym, rest);
      for (uint32_t k = reverse_bits(code, rest); k < (1u << subbits); k += 1u << rest) {
        table[sub + static_cast<int>(k)] = e;
      }
    }
    ++code;
  }
  grow_to(pbits);
  return true;
}

// The fixed codes of block type 1, built at compile time: nothing is initialised at run time, so
// any number of threads may meet their first fixed block at once.
struct fixed_tables {
  uint32_t lit[1 << kLitBits] = {};
  uint32_t dist[1 << kDistBits] = {};
  bool ok = false;
};

constexpr fixed_tables make_fixed() {
  fixed_tables f;
  uint16_t length[kFixedLitLen] = {};
  uint16_t count[kMaxBits + 1] = {};
  int sym = 0;
  for (; sym < 144; ++sym) length[sym] = 8;
  for (; sym < 256; ++sym) length[sym] = 9;
  for (; sym < 280; ++sym) length[sym] = 7;
  for (; sym < kFixedLitLen; ++sym) length[sym] = 8;
  const int lit_left = count_lengths(length, kFixedLitLen, count);
  const bool lit_ok =
      build_table(f.lit, 1 << kLitBits, kLitBits, length, kFixedLitLen, count, lit_entries{});
  for (sym = 0; sym < kMaxDist; ++sym) length[sym] = 5;
  const int dist_left = count_lengths(length, kMaxDist, count);
  const bool dist_ok =
      build_table(f.dist, 1 << kDistBits, kDistBits, length, kMaxDist, count, dist_entries{});
  // The literal/length code is complete; the distance code leaves two 5-bit codes unused.
  f.ok = lit_left == 0 && dist_left == (2 << 10) && lit_ok && dist_ok;
  return f;
}

constexpr fixed_tables kFixed = make_fixed();
static_assert(kFixed.ok);
static_assert(kFixed.lit[0] == entry(kEnd, 0, 7, 0), "end of block is the 7-bit code 0000000");
static_assert(kFixed.lit[0x0c] == entry(kLiteral, 0, 8, 0), "literal 0 is 00110000");
static_assert(kFixed.lit[0x1ff] == entry(kLiteral, 255, 9, 0), "literal 255 is 111111111");
static_assert(kFixed.lit[0x63] == entry(kBadSym, 0, 8, 0), "symbol 286 is 11000110");
static_assert(kFixed.dist[0x1f] == entry(kInvalid, 0, kMaxBits, 0), "distance code 31 is unused");

// ---------------------------------------------------------------------------------------------
// Decoding

// Per-call decoder state. The bit buffer holds `bitcnt` bits that were read and not used, the
// next one in bit 0; they are the last bits of the bytes before `next`. Bits above them are
// either zero or the bits of the bytes that follow, so a table lookup may include them: an entry
// is used only when the bits it takes are all present.
struct state {
  unsigned char* out_begin;
  unsigned char* out;
  unsigned char* out_end;
  const unsigned char* next;
  const unsigned char* in_end;
  uint64_t bitbuf;
  unsigned bitcnt;
};

inline uint64_t load_le64(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

// Fills the bit buffer to at least 56 bits, or with all the input that is left. With eight bytes
// of input left, one unaligned load takes as many whole bytes as fit.
inline void refill(uint64_t& bitbuf, unsigned& bitcnt, const unsigned char*& next,
                   const unsigned char* in_end) {
  if (in_end - next >= 8) {
    bitbuf |= load_le64(next) << bitcnt;
    next += (63 - bitcnt) >> 3;
    bitcnt |= 56;
  } else {
    while (bitcnt < 56 && next < in_end) {
      bitbuf |= static_cast<uint64_t>(*next++) << bitcnt;
      bitcnt += 8;
    }
  }
}

inline uint32_t low_bits(uint64_t v, uint32_t n) {
  return static_cast<uint32_t>(v) & ((1u << n) - 1u);
}

// Copies len bytes from `from` to `out`, at least eight bytes further on, writing exactly
// out[0..len): a word at a time, the last word ending at the end over bytes already final.
inline void copy_far(unsigned char* out, const unsigned char* from, uint32_t len) {
  if (len >= 8) {
    uint32_t k = 0;
    for (; k + 8 <= len; k += 8) {
      uint64_t w;
      std::memcpy(&w, from + k, 8);
      std::memcpy(out + k, &w, 8);
    }
    if (k < len) {
      uint64_t w;
      std::memcpy(&w, from + len - 8, 8);
      std::memcpy(out + len - 8, &w, 8);
    }
  } else if (len >= 4) {
    uint32_t a, b;
    std::memcpy(&a, from, 4);
    std::memcpy(&b, from + len - 4, 4);
    std::memcpy(out, &a, 4);
    std::memcpy(out + len - 4, &b, 4);
  } else {
    for (uint32_t k = 0; k < len; ++k) out[k] = from[k];
  }
}

// Copies a match of len bytes from dist bytes back. A near copy overlaps the bytes it produces
// (distance 1 repeats a byte): its first bytes go one at a time until the pattern of period dist
// can be copied from a multiple of dist that lies at least eight bytes back.
inline void copy_match(unsigned char* out, uint32_t dist, uint32_t len) {
  if (dist >= 8) {
    copy_far(out, out - dist, len);
    return;
  }
  const uint32_t far = (8 + dist - 1) / dist * dist;  // 8 to 14
  const uint32_t head = len < far - dist ? len : far - dist;
  const unsigned char* from = out - dist;
  for (uint32_t k = 0; k < head; ++k) out[k] = from[k];
  if (len > head) copy_far(out + head, out + head - far, len - head);
}

// Room the fast loop keeps at the end of the output: the longest copy, rounded up to whole
// 16-byte chunks, which is what copy_match_wide may write.
constexpr uint32_t kFastRoom = (kMaxMatch + 15) / 16 * 16;

// As copy_match, but in whole chunks: it may write up to 15 bytes past out[len), which must lie
// within the destination. Those bytes are scratch: the next literal or copy writes over them,
// and a result never counts them.
inline void copy_match_wide(unsigned char* out, uint32_t dist, uint32_t len) {
  unsigned char* const end = out + len;
  const unsigned char* from = out - dist;
  if (dist >= 16) {
    do {
      unsigned char w[16];
      std::memcpy(w, from, 16);
      std::memcpy(out, w, 16);
      out += 16;
      from += 16;
    } while (out < end);
  } else if (dist >= 8) {
    do {
      uint64_t w;
      std::memcpy(&w, from, 8);
      std::memcpy(out, &w, 8);
      out += 8;
      from += 8;
    } while (out < end);
  } else if (dist == 1) {
    const uint64_t w = *from * 0x0101010101010101ull;
    do {
      std::memcpy(out, &w, 8);
      out += 8;
    } while (out < end);
  } else {
    copy_match(out, dist, len);
  }
}

// The literals and copies of one Huffman-coded block, up to and including its end-of-block symbol.
// One refill per symbol suffices: a length with its extra bits and a distance with its extra bits
// take at most 15 + 5 + 15 + 13 = 48 bits, and a refill leaves 56 bits or all the input.
int codes(state& s, const uint32_t* lit, const uint32_t* dist) {
  uint64_t bitbuf = s.bitbuf;
  unsigned bitcnt = s.bitcnt;
  const unsigned char* next = s.next;
  const unsigned char* const in_end = s.in_end;
  unsigned char* out = s.out;
  unsigned char* const out_begin = s.out_begin;
  unsigned char* const out_end = s.out_end;
  int result;

  // The fast loop runs while two word refills are possible and the longest copy fits: then no
  // symbol can run out of input or of room, and only damage ends the block early. At the top of
  // each round the buffer holds at least 56 bits and e is the literal/length entry for them:
  // every round ends with a refill and the next lookup, a copy's before the copy itself, so that
  // the lookup does not wait behind the stores.
  auto fast = [&] { return in_end - next >= 16 && out_end - out >= kFastRoom; };
  auto refill_fast = [&] {
    bitbuf |= load_le64(next) << bitcnt;
    next += (63 - bitcnt) >> 3;
    bitcnt |= 56;
  };
  constexpr uint32_t kLitMask = (1u << kLitBits) - 1;
  uint32_t e = 0;
  if (fast()) {
    refill_fast();
    e = lit[bitbuf & kLitMask];
  }
  while (fast()) {
    if (is_literal(e)) {
      // Up to three literals, at most 45 of the 56 bits; each next entry is looked up before
      // the byte before it is stored.
      bitbuf >>= entry_bits(e);
      bitcnt -= entry_bits(e);
      uint32_t e2 = lit[bitbuf & kLitMask];
      *out++ = static_cast<unsigned char>(e >> 16);
      if (is_literal(e2)) {
        bitbuf >>= entry_bits(e2);
        bitcnt -= entry_bits(e2);
        e = lit[bitbuf & kLitMask];
        *out++ = static_cast<unsigned char>(e2 >> 16);
        if (is_literal(e)) {
          bitbuf >>= entry_bits(e);
          bitcnt -= entry_bits(e);
          *out++ = static_cast<unsigned char>(e >> 16);
        }
      }
      refill_fast();
      e = lit[bitbuf & kLitMask];
      continue;
    }
    if (entry_kind(e) == kSubtable) {
      bitbuf >>= kLitBits;
      bitcnt -= kLitBits;
      e = lit[entry_value(e) + low_bits(bitbuf, entry_extra(e))];
      if (is_literal(e)) {
        bitbuf >>= entry_bits(e);
        bitcnt -= entry_bits(e);
        *out++ = static_cast<unsigned char>(e >> 16);
        refill_fast();
        e = lit[bitbuf & kLitMask];
        continue;
      }
    }
    if (entry_kind(e) != kLength) {
      bitbuf >>= entry_bits(e);
      bitcnt -= entry_bits(e);
      result = entry_kind(e) == kEnd ? kDone : kErrSymbol;
      goto done;
    }
    // The length: its code and its extra bits in one step.
    uint32_t n = entry_bits(e) + entry_extra(e);
    const uint32_t len = entry_value(e) + (static_cast<uint32_t>(bitbuf >> entry_bits(e)) &
                                           ((1u << entry_extra(e)) - 1u));
    bitbuf >>= n;
    bitcnt -= n;

    e = dist[bitbuf & ((1u << kDistBits) - 1)];
    if (entry_kind(e) == kSubtable) {
      bitbuf >>= kDistBits;
      bitcnt -= kDistBits;
      e = dist[entry_value(e) + low_bits(bitbuf, entry_extra(e))];
    }
    if (entry_kind(e) != kLength) {
      result = kErrSymbol;
      goto done;
    }
    n = entry_bits(e) + entry_extra(e);
    const uint32_t d = entry_value(e) + (static_cast<uint32_t>(bitbuf >> entry_bits(e)) &
                                         ((1u << entry_extra(e)) - 1u));
    bitbuf >>= n;
    bitcnt -= n;
    if (d > static_cast<size_t>(out - out_begin)) {
      result = kErrDistance;
      goto done;
    }
    refill_fast();
    e = lit[bitbuf & kLitMask];
    copy_match_wide(out, d, len);
    out += len;
  }

  // Near the end of the input or of the room, every step checks that its bits are there and that
  // its bytes fit.
  for (;;) {
    refill(bitbuf, bitcnt, next, in_end);
    uint32_t e = lit[bitbuf & ((1u << kLitBits) - 1)];
    if (entry_kind(e) == kSubtable) {
      if (bitcnt < unsigned{kLitBits}) {
        result = kUnderrun;
        break;
      }
      bitbuf >>= kLitBits;
      bitcnt -= kLitBits;
      e = lit[entry_value(e) + low_bits(bitbuf, entry_extra(e))];
    }
    uint32_t n = entry_bits(e);
    if (n > bitcnt) {
      result = kUnderrun;
      break;
    }
    bitbuf >>= n;
    bitcnt -= n;

    const uint32_t kind = entry_kind(e);
    if (kind == kLiteral) {
      if (out == out_end) {
        result = kFull;
        break;
      }
      *out++ = static_cast<unsigned char>(entry_value(e));
      continue;
    }
    if (kind != kLength) {
      result = kind == kEnd ? kDone : kErrSymbol;
      break;
    }

    n = entry_extra(e);
    if (n > bitcnt) {
      result = kUnderrun;
      break;
    }
    const uint32_t len = entry_value(e) + low_bits(bitbuf, n);
    bitbuf >>= n;
    bitcnt -= n;

    e = dist[bitbuf & ((1u << kDistBits) - 1)];
    if (entry_kind(e) == kSubtable) {
      if (bitcnt < unsigned{kDistBits}) {
        result = kUnderrun;
        break;
      }
      bitbuf >>= kDistBits;
      bitcnt -= kDistBits;
      e = dist[entry_value(e) + low_bits(bitbuf, entry_extra(e))];
    }
    n = entry_bits(e);
    if (n > bitcnt) {
      result = kUnderrun;
      break;
    }
    bitbuf >>= n;
    bitcnt -= n;
    if (entry_kind(e) != kLength) {
      result = kErrSymbol;
      break;
    }
    n = entry_extra(e);
    if (n > bitcnt) {
      result = kUnderrun;
      break;
    }
    const uint32_t d = entry_value(e) + low_bits(bitbuf, n);
    bitbuf >>= n;
    bitcnt -= n;

    if (d > static_cast<size_t>(out - out_begin)) {
      result = kErrDistance;
      break;
    }
    if (static_cast<size_t>(out_end - out) < len) {
      result = kFull;
      break;
    }
    copy_match(out, d, len);
    out += len;
  }

done:
  s.bitbuf = bitbuf;
  s.bitcnt = bitcnt;
  s.next = next;
  s.out = out;
  return result;
}

// Makes sure that n bits (at most 56) are in the buffer; false when the input ends first.
inline bool need(state& s, unsigned n) {
  if (s.bitcnt < n) refill(s.bitbuf, s.bitcnt, s.next, s.in_end);
  return s.bitcnt >= n;
}

// The next n bits, which must be in the buffer.
inline uint32_t take(state& s, unsigned n) {
  const uint32_t v = low_bits(s.bitbuf, n);
  s.bitbuf >>= n;
  s.bitcnt -= n;
  return v;
}

// Stored block: LEN, its complement NLEN, and LEN bytes, starting at the next byte boundary.
int stored(state& s) {
  // Drop the bits up to the byte boundary, and give back the whole bytes still in the buffer.
  s.next -= s.bitcnt >> 3;
  s.bitbuf = 0;
  s.bitcnt = 0;
  if (s.in_end - s.next < 4) return kUnderrun;
  const unsigned char* p = s.next;
  const uint32_t len = p[0] | (static_cast<uint32_t>(p[1]) << 8);
  if (p[2] != (~len & 0xff) || p[3] != ((~len >> 8) & 0xff)) return kErrStoredLen;
  s.next += 4;
  if (static_cast<size_t>(s.in_end - s.next) < len) return kUnderrun;
  if (static_cast<size_t>(s.out_end - s.out) < len) return kFull;
  if (len > 0) std::memcpy(s.out, s.next, len);
  s.next += len;
  s.out += len;
  return kDone;
}

// Dynamic-code block: the header describes the code lengths of both codes with a third code.
int dynamic(state& s) {
  uint16_t length[kMaxLitLen + kMaxDist];

  if (!need(s, 14)) return kUnderrun;
  const int nlen = static_cast<int>(take(s, 5)) + 257;
  const int ndist = static_cast<int>(take(s, 5)) + 1;
  const int ncode = static_cast<int>(take(s, 4)) + 4;
  if (nlen > kMaxLitLen || ndist > kMaxDist) return kErrHeaderCounts;

  int index = 0;
  for (; index < ncode; ++index) {
    if (!need(s, 3)) return kUnderrun;
    length[order[index]] = static_cast<uint16_t>(take(s, 3));
  }
  for (; index < kNumCodeLen; ++index) length[order[index]] = 0;
  uint16_t count[kMaxBits + 1];
  if (count_lengths(length, kNumCodeLen, count) != 0) return kErrCodeLenCode;
  uint32_t clcode[kCodeLenEnough];
  build_table(clcode, kCodeLenEnough, kCodeLenBits, length, kNumCodeLen, count, codelen_entries{});

  // Lengths of the literal/length and the distance codes, as one sequence. A symbol with its
  // extra bits takes at most 7 + 7 bits; bits that match no code (the code-length code may have
  // no codes at all) count as 15, which must all be there before it is a data error.
  index = 0;
  while (index < nlen + ndist) {
    need(s, kMaxBits);
    const uint32_t e = clcode[s.bitbuf & ((1u << kCodeLenBits) - 1)];
    if (entry_bits(e) > s.bitcnt) return kUnderrun;
    take(s, entry_bits(e));
    if (entry_kind(e) != kLiteral) return kErrSymbol;  // only an empty code has no match
    const auto symbol = static_cast<int>(entry_value(e));
    if (symbol < 16) {
      length[index++] = static_cast<uint16_t>(symbol);
      continue;
    }
    uint16_t len = 0;
    int repeat;
    if (symbol == 16) {
      if (index == 0) return kErrRepeatFirst;
      len = length[index - 1];
      if (s.bitcnt < 2) return kUnderrun;
      repeat = 3 + static_cast<int>(take(s, 2));
    } else if (symbol == 17) {
      if (s.bitcnt < 3) return kUnderrun;
      repeat = 3 + static_cast<int>(take(s, 3));
    } else {
      if (s.bitcnt < 7) return kUnderrun;
      repeat = 11 + static_cast<int>(take(s, 7));
    }
    if (index + repeat > nlen + ndist) return kErrRepeatPast;
    while (repeat-- > 0) length[index++] = len;
  }

  if (length[256] == 0) return kErrNoEndCode;

  // An incomplete code is accepted only when it is a single code of length 1.
  uint16_t litcount[kMaxBits + 1];
  int err = count_lengths(length, nlen, litcount);
  if (err < 0 || (err > 0 && nlen != litcount[0] + litcount[1])) return kErrLitLenCode;
  uint16_t distcount[kMaxBits + 1];
  err = count_lengths(length + nlen, ndist, distcount);
  if (err < 0 || (err > 0 && ndist != distcount[0] + distcount[1])) return kErrDistCode;

  uint32_t litcode[kLitEnough];
  uint32_t distcode[kDistEnough];
  if (!build_table(litcode, kLitEnough, kLitBits, length, nlen, litcount, lit_entries{})) {
    return kErrLitLenCode;
  }
  if (!build_table(distcode, kDistEnough, kDistBits, length + nlen, ndist, distcount,
                   dist_entries{})) {
    return kErrDistCode;
  }
  return codes(s, litcode, distcode);
}

}  // namespace

int inflate_decompress(const unsigned char* src, uint64_t srclen, unsigned char* dst, uint64_t cap,
                       uint64_t* produced) {
  return inflate_decompress(src, srclen, dst, cap, produced, nullptr);
}

int inflate_decompress(const unsigned char* src, uint64_t srclen, unsigned char* dst, uint64_t cap,
                       uint64_t* produced, inflate_end* end) {
  if (produced) *produced = 0;
  if (end) *end = inflate_end{};
  // The zlib header: compression method 8 and no preset dictionary. The check bits and the window
  // size are not looked at, nor is the Adler-32 value after the data.
  if (srclen < 2 || cap > kInflateMaxCap) return -1;
  if ((src[0] & 0x0f) != 8 || (src[1] & 0x20) != 0) return -1;

  state s{};
  s.out_begin = dst;
  s.out = dst;
  s.out_end = dst + cap;
  s.next = src + 2;
  s.in_end = src + srclen;

  for (;;) {
    if (!need(s, 3)) return -1;
    const uint32_t last = take(s, 1);
    const uint32_t type = take(s, 2);
    int r;
    switch (type) {
      case 0:
        r = stored(s);
        break;
      case 1:
        r = codes(s, kFixed.lit, kFixed.dist);
        break;
      case 2:
        r = dynamic(s);
        break;
      default:
        r = kErrBlockType;
        break;
    }
    if (r == kUnderrun || r == kFull) return -1;
    if (r < 0) break;  // damaged data: keep what came before it
    if (last) {
      if (end) {
        // The bit buffer may hold whole bytes read past the final block: they were not used.
        end->complete = true;
        end->consumed = static_cast<uint64_t>(s.next - src) - (s.bitcnt >> 3);
      }
      break;
    }
  }

  if (produced) *produced = static_cast<uint64_t>(s.out - s.out_begin);
  return 0;
}

int inflate_growing(const unsigned char* src, uint64_t srclen, uint64_t first_cap,
                    const inflate_block& block, uint64_t* produced, inflate_end* end) {
  *produced = 0;
  if (end) *end = inflate_end{};
  for (uint64_t cap = first_cap;; cap *= 4) {
    if (cap > kInflateMaxCap) return -1;
    unsigned char* dst = block(cap);
    if (!dst) return -1;
    if (inflate_decompress(src, srclen, dst, cap, produced, end) == 0) return 0;
    if (cap > kInflateRetryLimit) return -1;
  }
}

}  // namespace qm
