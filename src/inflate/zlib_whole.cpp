// The zlib wrapper's header check bits and Adler-32 trailer, which decoding does not need.
#include "inflate/zlib_whole.h"

namespace qm {

uint32_t adler32(const unsigned char* p, uint64_t n, uint32_t a) {
  constexpr uint32_t kBase = 65521;
  // 5552 bytes is the longest run whose sums cannot overflow 32 bits before they are reduced.
  constexpr uint64_t kRun = 5552;
  uint32_t s1 = a & 0xffff, s2 = a >> 16;
  while (n > 0) {
    const uint64_t k = n < kRun ? n : kRun;
    for (uint64_t i = 0; i < k; ++i) {
      s1 += p[i];
      s2 += s1;
    }
    s1 %= kBase;
    s2 %= kBase;
    p += k;
    n -= k;
  }
  return (s2 << 16) | s1;
}

uint64_t zlib_whole_length(const unsigned char* src, uint64_t srclen, const inflate_end& end,
                           const unsigned char* out, uint64_t produced) {
  if (!end.complete || srclen < 2) return 0;
  // CMF: method 8 with a window of 2^(8 + CINFO) bytes, CINFO at most 7; CMF * 256 + FLG a
  // multiple of 31; no preset dictionary (the decoder refuses one already).
  if ((src[0] & 0x0f) != 8 || (src[0] >> 4) > 7) return 0;
  if (((static_cast<uint32_t>(src[0]) << 8) | src[1]) % 31 != 0) return 0;
  if ((src[1] & 0x20) != 0) return 0;
  if (end.consumed < 2 || end.consumed > srclen || srclen - end.consumed < 4) return 0;
  const unsigned char* t = src + end.consumed;
  const uint32_t stored = (static_cast<uint32_t>(t[0]) << 24) |
                          (static_cast<uint32_t>(t[1]) << 16) | (static_cast<uint32_t>(t[2]) << 8) |
                          t[3];
  if (stored != adler32(out, produced)) return 0;
  return end.consumed + 4;
}

}  // namespace qm
