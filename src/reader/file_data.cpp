// Room for input files: large ones in huge-page-aligned anonymous mappings (Linux and other
// POSIX systems; MADV_HUGEPAGE is only a hint, and where it is missing the mapping is plain).
#include "reader/file_data.h"

#include <sys/mman.h>

#include <cstdint>
#include <new>

namespace qm {

namespace {

// The size of a huge page on x86-64 and most 64-bit ARM systems; files smaller than this hold no
// whole huge page and take the ordinary allocation.
constexpr size_t kHuge = size_t{2} << 20;
constexpr size_t kPage = 4096;

}  // namespace

std::atomic<size_t> file_data_map_min{kHuge};

void file_data_release::operator()(char* p) const noexcept {
  if (!p) return;
  if (mapped == 0)
    delete[] p;
  else
    ::munmap(p, mapped);
}

file_data file_data_alloc(size_t n) {
  if (n >= file_data_map_min.load(std::memory_order_relaxed) && n >= kHuge &&
      n <= SIZE_MAX - 2 * kHuge) {
    // Map a huge page more than needed, then give back the unaligned head and the tail beyond the
    // last page of the file.
    const size_t len = (n + kPage - 1) & ~(kPage - 1);
    void* m =
        ::mmap(nullptr, len + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m != MAP_FAILED) {
      const uintptr_t base = reinterpret_cast<uintptr_t>(m);
      const uintptr_t at = (base + kHuge - 1) & ~uintptr_t{kHuge - 1};
      if (at > base) ::munmap(m, at - base);
      if (at - base < kHuge) ::munmap(reinterpret_cast<char*>(at) + len, kHuge - (at - base));
      char* p = reinterpret_cast<char*>(at);
#ifdef MADV_HUGEPAGE
      ::madvise(p, len, MADV_HUGEPAGE);
#endif
      return file_data(p, file_data_release(len));
    }
  }
  return file_data(new (std::nothrow) char[n > 0 ? n : 1]);
}

}  // namespace qm
