// DEFLATE decoder for zlib-wrapped (RFC 1950/1951) data, into one caller-supplied block.
#pragma once
#include <cstdint>
#include <functional>

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

// The largest block after which inflate_growing tries once more (2^28 - 1 bytes): four times
// that still lies within kInflateMaxCap.
inline constexpr uint64_t kInflateRetryLimit = 0x0FFFFFFF;

// Gives the destination block of `cap` bytes for one attempt of inflate_growing, or null when
// there is none; may throw, which ends the decoding.
using inflate_block = std::function<unsigned char*(uint64_t cap)>;

// Decodes the zlib stream src[0..srclen) when the size of its output is not known: the first
// attempt goes into a block of first_cap bytes, and each attempt whose output does not fit is
// repeated from the start in a block four times as large, for as long as the block that failed
// was at most kInflateRetryLimit bytes. An attempt above kInflateMaxCap is not made (so only a
// first_cap above it can fail that way). Returns 0 with *produced set as inflate_decompress sets
// it, for the block of the last attempt; -1 when no attempt succeeds or `block` gives null. With
// `end`, *end tells how the last attempt's data ended (as the inflate_decompress below sets it).
int inflate_growing(const unsigned char* src, uint64_t srclen, uint64_t first_cap,
                    const inflate_block& block, uint64_t* produced, inflate_end* end = nullptr);

}  // namespace qm
