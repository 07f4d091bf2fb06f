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

// How a decoding that returned 0 ended, for callers that must know whether the data were whole.
struct inflate_end {
  bool complete = false;  // the final block ended, and no damage came before it
  uint64_t consumed = 0;  // bytes of src from the zlib header through the final block's last byte
};

// inflate_decompress, also telling how the data ended (*end is set on every call; after -1 it
// says nothing).
int inflate_decompress(const unsigned char* src, uint64_t srclen, unsigned char* dst, uint64_t cap,
                       uint64_t* produced, inflate_end* end);

}  // namespace qm
