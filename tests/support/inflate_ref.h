// The reference DEFLATE decoder for the differential tests: canonical Huffman codes decoded one
// bit at a time from per-length counts, the plainest reading of RFC 1951. The library's
// table-driven decoder must give the same result code, produced count and destination bytes on
// every input.
//
// Error policy, as in the library: running out of input or out of output spoils the whole result
// (-1, nothing produced); damaged compressed data after a valid start ends the decoding early and
// keeps the bytes produced before the damage (0). The window is the whole output of the call.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qmref {

inline constexpr int kMaxBits = 15;       // longest code in any alphabet
inline constexpr int kMaxLitLen = 286;    // literal/length codes a dynamic header may declare
inline constexpr int kMaxDist = 30;       // distance codes a dynamic header may declare
inline constexpr int kFixedLitLen = 288;  // the fixed literal/length code, 286 and 287 included

// Results of the block decoders. Zero and kFull are the normal outcomes; every negative value is
// a data error, which ends the decoding but keeps what was produced. Running out of input is
// not a result: it sets the state's underrun flag, every caller returns as soon as it sees it
// (with whatever value) and the entry point turns it into a failure of the whole call.
enum : int {
  kDone = 0,
  kFull = 1,              // the output block cannot hold the next literal, copy or stored block
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
inline constexpr uint16_t lens[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                      15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                      67, 83, 99, 115, 131, 163, 195, 227, 258};
inline constexpr uint16_t lext[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
// Base distances and extra bits of distance symbols 0 to 29 (RFC 1951, 3.2.5).
inline constexpr uint16_t dists[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
inline constexpr uint16_t dext[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                      6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// Transmission order of the code-length code lengths (RFC 1951, 3.2.7).
inline constexpr uint16_t order[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                       11, 4,  12, 3, 13, 2, 14, 1, 15};

static_assert(sizeof lens / sizeof lens[0] == 285 - 257 + 1);
static_assert(sizeof dists / sizeof dists[0] == kMaxDist);
static_assert(sizeof order / sizeof order[0] == 19);

// A canonical Huffman code as decoding needs it: how many symbols have each code length (entry 0
// counts the unused symbols), and the used symbols sorted by code length, then by value. The codes
// themselves follow from these and are never stored.
template <int N>
struct code_table {
  uint16_t count[kMaxBits + 1] = {};
  uint16_t symbol[N] = {};
};

struct code_view {
  const uint16_t* count;
  const uint16_t* symbol;
};

template <int N>
constexpr code_view view_of(const code_table<N>& t) {
  return {t.count, t.symbol};
}

// Builds the table of symbols 0 to n-1 from their code lengths. Returns 0 for a complete code (or
// one without any codes), a negative number for an over-subscribed code, and otherwise the number
// of 15-bit codes left unused by an incomplete code.
template <int N>
constexpr int construct(code_table<N>& t, const uint16_t* length, int n) {
  for (auto& c : t.count) c = 0;
  for (int sym = 0; sym < n; ++sym) t.count[length[sym]]++;
  if (t.count[0] == n) return 0;

  int left = 1;  // codes of the current length still available
  for (int len = 1; len <= kMaxBits; ++len) {
    left <<= 1;
    left -= t.count[len];
    if (left < 0) return left;
  }

  uint16_t offs[kMaxBits + 1] = {};
  for (int len = 1; len < kMaxBits; ++len) offs[len + 1] = offs[len] + t.count[len];
  for (int sym = 0; sym < n; ++sym) {
    if (length[sym] != 0) t.symbol[offs[length[sym]]++] = static_cast<uint16_t>(sym);
  }
  return left;
}

// The fixed codes of block type 1, built at compile time: nothing is initialised at run time, so
// any number of threads may meet their first fixed block at once.
struct fixed_codes {
  code_table<kFixedLitLen> lencode;
  code_table<kMaxDist> distcode;
  int len_left = -1;
  int dist_left = -1;
};

constexpr fixed_codes make_fixed() {
  fixed_codes f;
  uint16_t length[kFixedLitLen] = {};
  int sym = 0;
  for (; sym < 144; ++sym) length[sym] = 8;
  for (; sym < 256; ++sym) length[sym] = 9;
  for (; sym < 280; ++sym) length[sym] = 7;
  for (; sym < kFixedLitLen; ++sym) length[sym] = 8;
  f.len_left = construct(f.lencode, length, kFixedLitLen);
  for (sym = 0; sym < kMaxDist; ++sym) length[sym] = 5;
  f.dist_left = construct(f.distcode, length, kMaxDist);
  return f;
}

inline constexpr fixed_codes kFixed = make_fixed();
static_assert(kFixed.len_left == 0, "the fixed literal/length code is complete");
static_assert(kFixed.dist_left == (2 << 10), "two 5-bit distance codes are unused");
static_assert(kFixed.lencode.count[7] == 24 && kFixed.lencode.count[8] == 152 &&
              kFixed.lencode.count[9] == 112);
static_assert(kFixed.lencode.symbol[0] == 256 && kFixed.lencode.symbol[24] == 0 &&
              kFixed.lencode.symbol[kFixedLitLen - 1] == 255);

// Per-call decoder state.
struct state {
  unsigned char* out;
  uint32_t outcap;
  uint32_t outcnt;
  const unsigned char* in;
  uint64_t inlen;
  uint64_t incnt;
  uint32_t bitbuf;  // bits not yet used, the next one in bit 0
  int bitcnt;
  bool underrun;  // the input ended in the middle of something; the whole call fails
};

// The next n bits (0 to 13), least significant first. On running out of input it sets the underrun
// flag and returns 0; the caller must check the flag before it uses the value.
inline uint32_t bits(state& s, int n) {
  uint32_t val = s.bitbuf;
  while (s.bitcnt < n) {
    if (s.incnt == s.inlen) {
      s.underrun = true;
      return 0;
    }
    val |= static_cast<uint32_t>(s.in[s.incnt++]) << s.bitcnt;
    s.bitcnt += 8;
  }
  s.bitbuf = val >> n;
  s.bitcnt -= n;
  return val & ((1u << n) - 1u);
}

// One symbol of the given code. Huffman codes are packed starting with their most significant bit,
// so the code is built one bit at a time, and at each length compared with the range of codes of
// that length: the canonical codes of length L are first .. first + count[L] - 1.
inline int decode(state& s, code_view h) {
  int code = 0;   // the bits read so far
  int first = 0;  // the first code of the current length
  int index = 0;  // where the symbols of the current length begin
  for (int len = 1; len <= kMaxBits; ++len) {
    code |= static_cast<int>(bits(s, 1));
    if (s.underrun) return kErrSymbol;
    const int count = h.count[len];
    if (code - first < count) return h.symbol[index + (code - first)];
    index += count;
    first = (first + count) << 1;
    code <<= 1;
  }
  return kErrSymbol;
}

// Stored block: LEN, its complement NLEN, and LEN bytes, starting at the next byte boundary.
inline int stored(state& s) {
  s.bitbuf = 0;
  s.bitcnt = 0;
  if (s.inlen - s.incnt < 4) {
    s.underrun = true;
    return kDone;
  }
  const unsigned char* p = s.in + s.incnt;
  const uint32_t len = p[0] | (static_cast<uint32_t>(p[1]) << 8);
  if (p[2] != (~len & 0xff) || p[3] != ((~len >> 8) & 0xff)) return kErrStoredLen;
  s.incnt += 4;
  if (s.inlen - s.incnt < len) {
    s.underrun = true;
    return kDone;
  }
  if (s.outcap - s.outcnt < len) return kFull;
  if (len > 0) std::memcpy(s.out + s.outcnt, s.in + s.incnt, len);
  s.incnt += len;
  s.outcnt += len;
  return kDone;
}

// The literals and copies of one Huffman-coded block, up to and including its end-of-block symbol.
inline int codes(state& s, code_view lencode, code_view distcode) {
  for (;;) {
    int symbol = decode(s, lencode);
    if (s.underrun || symbol < 0) return symbol;
    if (symbol < 256) {
      if (s.outcnt == s.outcap) return kFull;
      s.out[s.outcnt++] = static_cast<unsigned char>(symbol);
      continue;
    }
    if (symbol == 256) return kDone;

    symbol -= 257;
    if (symbol >= 29) return kErrSymbol;  // 286 and 287 of the fixed code
    const uint32_t len = lens[symbol] + bits(s, lext[symbol]);
    if (s.underrun) return kDone;

    symbol = decode(s, distcode);
    if (s.underrun || symbol < 0) return symbol;
    const uint32_t dist = dists[symbol] + bits(s, dext[symbol]);
    if (s.underrun) return kDone;

    if (dist > s.outcnt) return kErrDistance;
    if (s.outcap - s.outcnt < len) return kFull;
    // One byte at a time: a copy may overlap the bytes it produces (distance 1 repeats a byte).
    unsigned char* to = s.out + s.outcnt;
    const unsigned char* from = to - dist;
    for (uint32_t k = 0; k < len; ++k) to[k] = from[k];
    s.outcnt += len;
  }
}

// Fixed-code block.
inline int fixed(state& s) {
  return codes(s, view_of(kFixed.lencode), view_of(kFixed.distcode));
}

// Dynamic-code block: the header describes the code lengths of both codes with a third code.
inline int dynamic(state& s) {
  uint16_t length[kMaxLitLen + kMaxDist];

  const int nlen = static_cast<int>(bits(s, 5)) + 257;
  const int ndist = static_cast<int>(bits(s, 5)) + 1;
  const int ncode = static_cast<int>(bits(s, 4)) + 4;
  if (s.underrun) return kDone;
  if (nlen > kMaxLitLen || ndist > kMaxDist) return kErrHeaderCounts;

  code_table<19> clcode;  // the code of the code lengths
  int index = 0;
  for (; index < ncode; ++index) {
    length[order[index]] = static_cast<uint16_t>(bits(s, 3));
    if (s.underrun) return kDone;
  }
  for (; index < 19; ++index) length[order[index]] = 0;
  if (construct(clcode, length, 19) != 0) return kErrCodeLenCode;

  // Lengths of the literal/length and the distance codes, as one sequence.
  index = 0;
  while (index < nlen + ndist) {
    int symbol = decode(s, view_of(clcode));
    if (s.underrun) return kDone;
    if (symbol < 0) return symbol;
    if (symbol < 16) {
      length[index++] = static_cast<uint16_t>(symbol);
      continue;
    }
    uint16_t len = 0;
    int repeat;
    if (symbol == 16) {
      if (index == 0) return kErrRepeatFirst;
      len = length[index - 1];
      repeat = 3 + static_cast<int>(bits(s, 2));
    } else if (symbol == 17) {
      repeat = 3 + static_cast<int>(bits(s, 3));
    } else {
      repeat = 11 + static_cast<int>(bits(s, 7));
    }
    if (s.underrun) return kDone;
    if (index + repeat > nlen + ndist) return kErrRepeatPast;
    while (repeat-- > 0) length[index++] = len;
  }

  if (length[256] == 0) return kErrNoEndCode;

  // An incomplete code is accepted only when it is a single code of length 1.
  code_table<kMaxLitLen> lencode;
  int err = construct(lencode, length, nlen);
  if (err < 0 || (err > 0 && nlen != lencode.count[0] + lencode.count[1])) return kErrLitLenCode;
  code_table<kMaxDist> distcode;
  err = construct(distcode, length + nlen, ndist);
  if (err < 0 || (err > 0 && ndist != distcode.count[0] + distcode.count[1])) return kErrDistCode;

  return codes(s, view_of(lencode), view_of(distcode));
}

inline int inflate_decompress(const unsigned char* src, uint64_t srclen, unsigned char* dst,
                              uint64_t cap, uint64_t* produced) {
  if (produced) *produced = 0;
  // The zlib header: compression method 8 and no preset dictionary. The check bits and the window
  // size are not looked at, nor is the Adler-32 value after the data.
  if (srclen < 2 || cap > 0x40000000) return -1;
  if ((src[0] & 0x0f) != 8 || (src[1] & 0x20) != 0) return -1;

  state s{};
  s.out = dst;
  s.outcap = static_cast<uint32_t>(cap);
  s.in = src + 2;
  s.inlen = srclen - 2;

  int last;
  do {
    last = static_cast<int>(bits(s, 1));
    const uint32_t type = bits(s, 2);
    if (s.underrun) return -1;
    int r;
    switch (type) {
      case 0:
        r = stored(s);
        break;
      case 1:
        r = fixed(s);
        break;
      case 2:
        r = dynamic(s);
        break;
      default:
        r = kErrBlockType;
        break;
    }
    if (s.underrun || r == kFull) return -1;
    if (r < 0) break;  // damaged data: keep what came before it
  } while (!last);

  if (produced) *produced = s.outcnt;
  return 0;
}

}  // namespace qmref
