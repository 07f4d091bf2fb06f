// Builds DEFLATE and zlib streams bit by bit for decoder tests: a bit writer, the fixed codes,
// canonical codes from lengths, and dynamic block headers.
#pragma once
#include <algorithm>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace qmtest {

// Bits go out least significant first, filling each byte from bit 0 up, as RFC 1951 packs them.
struct bitwriter {
  std::vector<unsigned char> bytes;
  uint32_t acc = 0;
  int n = 0;

  // A value of `count` bits (extra bits, header fields), least significant bit first; bits past
  // the 32 of the value are zeros.
  bitwriter& put(uint32_t v, int count) {
    for (int i = 0; i < count; ++i) put_bit(i < 32 ? (v >> i) & 1u : 0u);
    return *this;
  }
  // A Huffman code of `len` bits, most significant bit first.
  bitwriter& put_code(uint32_t code, int len) {
    for (int i = len - 1; i >= 0; --i) put_bit((code >> i) & 1u);
    return *this;
  }
  bitwriter& put_bit(uint32_t b) {
    acc |= (b & 1u) << n;
    if (++n == 8) flush_byte();
    return *this;
  }
  // Pads with zero bits up to the next byte boundary.
  bitwriter& align() {
    if (n > 0) flush_byte();
    return *this;
  }
  bitwriter& put_byte(unsigned char b) {
    align();
    bytes.push_back(b);
    return *this;
  }
  size_t bit_count() const { return bytes.size() * 8 + static_cast<size_t>(n); }
  // The bytes written, the last one padded with zero bits.
  std::vector<unsigned char> finish() {
    align();
    return bytes;
  }

 private:
  void flush_byte() {
    bytes.push_back(static_cast<unsigned char>(acc));
    acc = 0;
    n = 0;
  }
};

// A zlib stream around raw DEFLATE data: header 78 9C, the data, and optionally an Adler-32
// trailer.
inline std::vector<unsigned char> zlib_wrap(const std::vector<unsigned char>& deflate,
                                            bool with_adler = false, uint32_t adler = 0) {
  std::vector<unsigned char> z(2 + deflate.size());
  z[0] = 0x78;
  z[1] = 0x9c;
  std::copy(deflate.begin(), deflate.end(), z.begin() + 2);
  if (with_adler) {
    for (int s = 24; s >= 0; s -= 8) z.push_back(static_cast<unsigned char>(adler >> s));
  }
  return z;
}

// Block header: final flag and two-bit type.
inline void put_block_header(bitwriter& w, bool final, int type) {
  w.put(final ? 1 : 0, 1).put(static_cast<uint32_t>(type), 2);
}

// A stored block of the bytes of s: LEN, then NLEN as LEN xor `nlen_xor` (0xffff gives the ones'
// complement a sound block has), then the bytes.
inline void put_stored(bitwriter& w, bool final, std::string_view s, uint32_t nlen_xor = 0xffff) {
  put_block_header(w, final, 0);
  w.align();
  const auto len = static_cast<uint32_t>(s.size());
  w.put(len, 16).put((len ^ nlen_xor) & 0xffff, 16);
  for (unsigned char c : s) w.put_byte(c);
}

// Length symbols 257..285 and distance symbols 0..29: base values and extra bits (RFC 1951).
inline constexpr int kLenBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                     15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                     67, 83, 99, 115, 131, 163, 195, 227, 258};
inline constexpr int kLenExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
inline constexpr int kDistBase[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
inline constexpr int kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                       6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Symbol index (0..28 for lengths, 0..29 for distances) whose range holds the value.
inline int len_index(int length) {
  int i = 28;
  while (kLenBase[i] > length) --i;  // 258 has its own symbol; 227..257 use 284
  return i;
}
inline int dist_index(int dist) {
  int i = 29;
  while (kDistBase[i] > dist) --i;
  return i;
}

// Canonical codes from code lengths (RFC 1951, 3.2.2); unused symbols get code 0.
inline std::vector<uint32_t> canonical_codes(const std::vector<int>& lengths) {
  int count[16] = {};
  for (int l : lengths) count[l]++;
  count[0] = 0;
  uint32_t next[16] = {};
  uint32_t code = 0;
  for (int bits = 1; bits < 16; ++bits) {
    code = (code + static_cast<uint32_t>(count[bits - 1])) << 1;
    next[bits] = code;
  }
  std::vector<uint32_t> codes(lengths.size(), 0);
  for (size_t s = 0; s < lengths.size(); ++s) {
    if (lengths[s] != 0) codes[s] = next[lengths[s]]++;
  }
  return codes;
}

// A Huffman code given by its lengths, able to write its symbols.
struct huff {
  std::vector<int> lengths;
  std::vector<uint32_t> codes;
  explicit huff(std::vector<int> l) : lengths(std::move(l)), codes(canonical_codes(lengths)) {}
  void put(bitwriter& w, int sym) const { w.put_code(codes[sym], lengths[sym]); }
};

// The fixed codes of block type 1.
inline huff fixed_litlen() {
  std::vector<int> l(288);
  for (int s = 0; s < 288; ++s) l[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
  return huff(l);
}
inline huff fixed_dist() {
  return huff(std::vector<int>(30, 5));
}

// Writes a length/distance pair with the given codes.
inline void put_copy(bitwriter& w, const huff& lit, const huff& dist, int length, int distance) {
  const int li = len_index(length);
  lit.put(w, 257 + li);
  w.put(static_cast<uint32_t>(length - kLenBase[li]), kLenExtra[li]);
  const int di = dist_index(distance);
  dist.put(w, di);
  w.put(static_cast<uint32_t>(distance - kDistBase[di]), kDistExtra[di]);
}

// Code-length symbols: 0..15 are lengths, 16/17/18 repeats with 2/3/7 extra bits.
struct cl_sym {
  int sym;
  int extra = 0;
};

inline constexpr int kClOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                     11, 4,  12, 3, 13, 2, 14, 1, 15};

// A complete code-length code over all 19 symbols (13 of length 4, 6 of length 5).
inline std::vector<int> default_cl_lengths() {
  std::vector<int> l(19);
  for (int s = 0; s < 19; ++s) l[s] = s < 13 ? 4 : 5;
  return l;
}

// A dynamic block header: HLIT/HDIST/HCLEN from the counts, the code-length code lengths of the
// first `nclen` positions in transmission order, then the code-length symbols.
inline void put_dynamic_header(bitwriter& w, int nlen, int ndist,
                               const std::vector<int>& cl_lengths, int nclen,
                               const std::vector<cl_sym>& seq) {
  w.put(static_cast<uint32_t>(nlen - 257), 5);
  w.put(static_cast<uint32_t>(ndist - 1), 5);
  w.put(static_cast<uint32_t>(nclen - 4), 4);
  for (int i = 0; i < nclen; ++i) w.put(static_cast<uint32_t>(cl_lengths[kClOrder[i]]), 3);
  const huff cl(cl_lengths);
  for (const cl_sym& c : seq) {
    cl.put(w, c.sym);
    if (c.sym == 16) w.put(static_cast<uint32_t>(c.extra), 2);
    if (c.sym == 17) w.put(static_cast<uint32_t>(c.extra), 3);
    if (c.sym == 18) w.put(static_cast<uint32_t>(c.extra), 7);
  }
}

// The plain case: every length written as its own symbol with the default code-length code.
inline void put_dynamic_header(bitwriter& w, const std::vector<int>& lit_lengths,
                               const std::vector<int>& dist_lengths) {
  std::vector<cl_sym> seq;
  for (int l : lit_lengths) seq.push_back({l});
  for (int l : dist_lengths) seq.push_back({l});
  put_dynamic_header(w, static_cast<int>(lit_lengths.size()), static_cast<int>(dist_lengths.size()),
                     default_cl_lengths(), 19, seq);
}

}  // namespace qmtest
