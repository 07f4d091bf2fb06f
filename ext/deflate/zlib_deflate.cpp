// One libdeflate compressor per thread and level, kept for the thread's lifetime: making one
// costs about as much as compressing a page's content, and a job compresses thousands.
#include "zlib_deflate.h"

#include <libdeflate.h>

namespace qmdeflate {

namespace {

constexpr int kMaxLevel = 12;

struct compressors {
  libdeflate_compressor* by_level[kMaxLevel + 1] = {};
  ~compressors() {
    for (libdeflate_compressor* c : by_level)
      if (c) libdeflate_free_compressor(c);
  }
};

thread_local compressors tls;

}  // namespace

size_t zlib_compress(void* ctx, const unsigned char* src, size_t n, unsigned char* dst,
                     size_t cap) noexcept {
  const int level = ctx ? *static_cast<const int*>(ctx) : kLevel;
  if (level < 0 || level > kMaxLevel) return 0;
  libdeflate_compressor*& c = tls.by_level[level];
  if (c == nullptr) c = libdeflate_alloc_compressor(level);
  if (c == nullptr) return 0;
  return libdeflate_zlib_compress(c, src, n, dst, cap);
}

}  // namespace qmdeflate
