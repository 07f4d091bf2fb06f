// Whether a zlib stream (RFC 1950) that the DEFLATE decoder read was whole, as every zlib reader
// would read it: the decoder itself takes damaged data as far as it goes and ignores the trailer.
#pragma once
#include <cstdint>

#include "inflate/inflate.h"

namespace qm {

// The Adler-32 checksum of n bytes (RFC 1950, 8.2), continuing from `a` (1 for a new sum).
uint32_t adler32(const unsigned char* p, uint64_t n, uint32_t a = 1);

// The length of the zlib stream at src, from its header through its Adler-32 trailer, when
// inflate_decompress read it whole: the header names a window of at most 32 KiB and its check
// bits are right, the decoding ended with the final block (`end` as the decoder set it), the four
// bytes after that block are the Adler-32 of the produced bytes out[0..produced). 0 otherwise.
// Bytes after the trailer are not looked at.
uint64_t zlib_whole_length(const unsigned char* src, uint64_t srclen, const inflate_end& end,
                           const unsigned char* out, uint64_t produced);

}  // namespace qm
