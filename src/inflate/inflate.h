// DEFLATE decoder for zlib-wrapped (RFC 1950/1951) data, into one caller-supplied block.
#pragma once
#include <cstdint>

namespace qm {

// Largest destination capacity accepted: 1 GiB.
inline constexpr uint64_t kInflateMaxCap = 0x40000000;

// Decodes the zlib stream src[0..srclen) into dst (capacity cap bytes), allocating nothing.
// Returns 0 with *produced set when the final block completed, or when damaged data ended the
// decoding early (then *produced counts the bytes before the damage). Returns -1 with *produced 0
// when nothing is usable: bad header, capacity above 1 GiB, input ended early, output did not fit.
// Safe to call from several threads at once.
int inflate_decompress(const unsigned char* src, uint64_t srclen, unsigned char* dst, uint64_t cap,
                       uint64_t* produced);

}  // namespace qm
