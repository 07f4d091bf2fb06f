// zlib compression (RFC 1950) with libdeflate, for the programs built on the library: the
// command-line tool and the Python module hand it to a job as its compressor when compact output
// is asked for. The library itself compresses nothing and links no compressor, so that
// libquiremark.so keeps depending on nothing but the C++ runtime.
#pragma once
#include <cstddef>

namespace qmdeflate {

// The compression level that compact output uses. Measured on the decoded page contents of the
// test corpus and of the benchmark inputs (bench/README.md): level 1 makes streams 4-12 % larger
// than level 6 in 37-47 % of its time. Most contents are kept as the inputs compressed them, so
// only contents that come uncompressed (or through other filters) pay for the level.
inline constexpr int kLevel = 1;

// Compresses src[0, n) into one zlib stream at dst, which has room for cap bytes: returns its
// length, or 0 when it does not fit or no compressor can be had. `ctx` is null for kLevel, or
// points to an int level from 0 to 12. Each calling thread gets a compressor of its own, made on
// first use and freed when the thread ends, so any number of threads may call at once. Never
// throws.
size_t zlib_compress(void* ctx, const unsigned char* src, size_t n, unsigned char* dst,
                     size_t cap) noexcept;

}  // namespace qmdeflate
